// Composes a firmware package: the 92-byte zero prefix, then one unit per
// input (header, frame CRC table, data, zero padding to 4 bytes).
#pragma once

#include <string>
#include <vector>

#include "Types.h"

constexpr DWORD kDefaultFrameSize = 4096;

struct UnitInput {
    DWORD type;
    std::vector<BYTE> data;
};

struct PackageRequest {
    std::string identity;  // PREFIX:BOARD:VERSION
    DWORD frameSize = kDefaultFrameSize;
    std::string date;  // yyyy.mm.dd
    std::string time;  // hh.mm.ss
    std::vector<UnitInput> units;
};

// An identity fits its 32-byte field with a terminator (31 characters), has
// exactly two colons, fields of at most 29 characters and no control bytes.
bool CheckIdentity(const std::string& identity, std::string& error);

// "0x00010000:path" (the 0x is optional) into its type and path.
bool ParseUnitArgument(const std::string& argument, DWORD& type, std::string& path,
                       std::string& error);

// The local date and time of now as "yyyy.mm.dd" and "hh.mm.ss".
void CurrentDateAndTime(std::string& date, std::string& time);

// The package bytes for request; false with a reason when it cannot be built.
bool ComposePackage(const PackageRequest& request, std::vector<BYTE>& package, std::string& error);
