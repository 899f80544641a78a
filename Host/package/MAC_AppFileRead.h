// The firmware package: a 92-byte prefix followed by self-describing units,
// one per flash image. CAppFileReader checks every unit against the CRCs the
// package carries and serves unit headers and unit data to the download.
#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

#include "Types.h"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The package header is read in place; this needs a little-endian host."
#endif

// Bytes before the first unit; not covered by any CRC.
constexpr DWORD kPackagePrefixLen = 92;
// Bytes of one unit header.
constexpr DWORD kUnitHeaderLen = 98;
// The smallest valid package: the prefix and one header of an empty unit.
constexpr DWORD kMinPackageLen = kPackagePrefixLen + kUnitHeaderLen;
// File offset of unit 0's identity text.
constexpr DWORD kIdentityFileOffset = 152;
// Units start at multiples of this.
constexpr DWORD kUnitAlignment = 4;
// Bytes 55 AA 5A A5 read as a little-endian word.
constexpr DWORD kUnitMagic = 0xA55AAA55;
constexpr DWORD kPackageFormatVersion = 1;
constexpr char kPackageFormatTag[] = "KVEW11.1";  // stored without its NUL
// Buffer sizes of the reader's path and error text.
constexpr int kAppFileTextSize = 2048;

#pragma pack(push, 1)
struct SAppFileUnitHeader {
    DWORD dwMagic;          // 55 AA 5A A5; not checked
    DWORD dwHeaderLen;      // header and frame CRC table: 98 + 2 x frame count
    DWORD dwFormatVersion;  // 1; not checked
    char szFormatTag[8];    // "KVEW11.1" without a terminator; not checked
    DWORD dwUnitType;       // 0x00TT0000, passed to the device
    DWORD dwDataLen;        // data bytes of the unit; 0 is allowed
    char szDate[16];        // "yyyy.mm.dd", NUL-padded
    char szTime[16];        // "hh.mm.ss", NUL-padded
    char szIdentity[32];    // "PREFIX:BOARD:VERSION", NUL-padded
    WORD wHeaderCRC;        // CRC-16/X-25 over the 98 bytes with this field zero
    DWORD dwFrameSize;      // frame length; never 0
};
#pragma pack(pop)

static_assert(sizeof(SAppFileUnitHeader) == kUnitHeaderLen, "unit header is 98 bytes");
static_assert(offsetof(SAppFileUnitHeader, dwMagic) == 0, "layout");
static_assert(offsetof(SAppFileUnitHeader, dwHeaderLen) == 4, "layout");
static_assert(offsetof(SAppFileUnitHeader, dwFormatVersion) == 8, "layout");
static_assert(offsetof(SAppFileUnitHeader, szFormatTag) == 12, "layout");
static_assert(offsetof(SAppFileUnitHeader, dwUnitType) == 20, "layout");
static_assert(offsetof(SAppFileUnitHeader, dwDataLen) == 24, "layout");
static_assert(offsetof(SAppFileUnitHeader, szDate) == 28, "layout");
static_assert(offsetof(SAppFileUnitHeader, szTime) == 44, "layout");
static_assert(offsetof(SAppFileUnitHeader, szIdentity) == 60, "layout");
static_assert(offsetof(SAppFileUnitHeader, wHeaderCRC) == 92, "layout");
static_assert(offsetof(SAppFileUnitHeader, dwFrameSize) == 94, "layout");
static_assert(kPackagePrefixLen + offsetof(SAppFileUnitHeader, szIdentity) == kIdentityFileOffset,
              "identity of unit 0");

// Frames of a unit: ceil(dataLen / frameSize), frameSize > 0. Computed wide so
// that no data length wraps around.
inline unsigned long long UnitFrameCount(DWORD dataLen, DWORD frameSize) {
    return (static_cast<unsigned long long>(dataLen) + frameSize - 1) / frameSize;
}

class CAppFileReader {
public:
    CAppFileReader();
    virtual ~CAppFileReader();
    CAppFileReader(const CAppFileReader&) = delete;
    CAppFileReader& operator=(const CAppFileReader&) = delete;

    // Names the package, opens it and checks it whole. TRUE when valid; on
    // FALSE the reason is in GetErrorText(). Paths over 2047 characters are
    // refused like a missing name: nothing else changes.
    BOOL SetAppFileName(const char* path);
    // The whole-file check; needs an open file.
    BOOL IsValidAppFile();
    // Checks the unit at the file's current position and leaves the position
    // at the start of the next unit.
    BOOL VerifyUnitDataContent(FILE* file);

    int GetUnitCount();
    // Copies header iIndex; 0 <= iIndex < GetUnitCount() is the caller's duty.
    void GetUnitHeader(int iIndex, SAppFileUnitHeader& header);
    // File offset of unit iIndex's first data byte, or -1 for no such unit.
    int GetUnitBeginFileAddress(int iIndex);
    // Positions the file at unit iIndex's first data byte.
    BOOL MoveToUnitBegin(int iIndex);
    // Reads the next bytes of unit iIndex from the current position, at most
    // maxLen and never past the unit's data; the position must lie inside it.
    int GetUnitData(int iIndex, BYTE* buffer, int maxLen);
    // CRC-16/X-25; always TRUE.
    BOOL CalculateCRC(const BYTE* data, DWORD length, WORD& crc);
    // Closes the package file; the unit list and count stay. Always TRUE.
    BOOL CloseFile();

    // The reason for the last failed SetAppFileName.
    const char* GetErrorText() const { return m_szErrorText; }
    // What the last failed check found wrong, e.g. "unit 2 at offset 1236:
    // frame 0 CRC mismatch"; empty after a passed check.
    const char* GetCheckDetail() const { return m_szCheckDetail; }

private:
    void SetCheckDetail(const char* format, ...) __attribute__((format(printf, 2, 3)));

    FILE* m_file;
    int m_nUnitCount;
    char* m_szFileName;
    char* m_szErrorText;
    char m_szCheckDetail[256];
    std::vector<SAppFileUnitHeader> m_lstUnitHeader;
};
