// Whole-file reads and writes for the packaging tool.
#pragma once

#include <string>
#include <vector>

#include "Types.h"

// Files the tool handles stay below 2 GiB: the trailer words and the reader's
// offsets are 32-bit.
constexpr unsigned long long kMaxToolFileLen = 0x7FFFFFFFULL;

// Reads path whole into bytes; on failure error says why.
bool ReadWholeFile(const std::string& path, std::vector<BYTE>& bytes, std::string& error);
// Writes bytes to path (created or truncated); on failure error says why and
// the partial file is removed.
bool WriteWholeFile(const std::string& path, const std::vector<BYTE>& bytes, std::string& error);
// Appends value as four little-endian bytes.
void PutLe32(std::vector<BYTE>& out, DWORD value);
// Stores value as four little-endian bytes at p.
void StoreLe32(BYTE* p, DWORD value);
// The little-endian word at p.
DWORD LoadLe32(const BYTE* p);
