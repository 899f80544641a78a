// The device's answers to the queries, decoded from a reply as received. A
// decoder reads no byte at or past the reply's length; where the layout
// reaches further, the missing bytes count as zero, as they would in a
// zero-filled reply buffer.
#pragma once

#include <cstddef>
#include <string>

#include "Types.h"

constexpr size_t kBoardVersionMax = 31;  // characters of the firmware version
constexpr size_t kVersionForceMax = 25;  // ... of the version read in download mode
constexpr size_t kISOVersionMax = 128;   // ... of the dashboard version
constexpr size_t kBoardClassBytes = 21;  // the answer's first byte and its 20-byte field
constexpr size_t kImeiItemBytes = 9;     // NV item 550: a length byte, then BCD
constexpr size_t kImeiDigits = 15;

// Each text decoder writes at most outSize - 1 characters and a NUL.
// The firmware version: from offset 4 up to a NUL.
void DecodeBoardVersion(const BYTE* reply, DWORD length, char* out, size_t outSize);
// The version of a device in download mode: from offset 2 up to a NUL.
void DecodeVersionForce(const BYTE* reply, DWORD length, char* out, size_t outSize);
// The dashboard version: from offset 5 up to a CR LF pair, a LF or a NUL found
// at offsets 5 to 132, or up to offset 132 itself.
void DecodeISOVersion(const BYTE* reply, DWORD length, char* out, size_t outSize);
// The first kBoardClassBytes bytes of the board-class answer.
void DecodeBoardClass(const BYTE* reply, DWORD length, BYTE* out);

// How a board-class answer (kBoardClassBytes: its first byte, then the field)
// stands to the board type a package is for.
enum class EBoardClass {
    kPackagesBoard,  // the field is BoardClassOf(boardType), zero-filled
    kOtherBoard,     // the field names another board
    kRefused,        // the answer begins with 0x03: a board too old for this program
};
EBoardClass JudgeBoardClass(const BYTE* answer, const char* boardType);
// The field a board of boardType answers: "KORVEL " and the type.
std::string BoardClassOf(const char* boardType);
// The field of an answer as text, up to its first zero byte; a byte that is
// not printable ASCII shows as '?'.
std::string BoardClassText(const BYTE* answer);
// The 15 IMEI digits of the item's data: the first digit is the high nibble
// of byte 1, then low and high nibble of bytes 2 to 8. False, and out left
// alone, unless the length byte says 8.
bool DecodeImei(const BYTE* item, DWORD length, char* out, size_t outSize);
