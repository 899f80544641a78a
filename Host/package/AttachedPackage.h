// A package read in place, without extracting it: where a program
// file carries its package, the identity, and every unit with the result of
// its check. Used by the program's --info and --version, its report, and by
// fwpack info.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Types.h"

struct SCheckedUnit {
    DWORD type = 0;
    DWORD length = 0;     // data bytes
    DWORD frameSize = 0;  // bytes per frame CRC
    bool checked = false;
    std::string problem;  // why the check failed; empty when checked
};

struct SAttachedPackage {
    bool located = false;             // a trailer names a package inside the file
    unsigned long long offset = 0;    // where the package starts in the file
    unsigned long long length = 0;    // its bytes
    std::string identity;             // unit 0's identity text, e.g. "V001:QM90W:11.810"
    std::string targetVersion;        // the identity's third field; empty when malformed
    std::vector<SCheckedUnit> units;  // every unit that could be located
    bool valid = false;               // every unit located and checked
    std::string problem;              // why not valid
};

// The package's target version: the third of the identity's three
// colon-separated fields; empty when the identity does not have three.
std::string TargetVersionOf(const std::string& identity);

// Checks the package of length bytes at offset in file, unit by unit. A unit
// whose check fails is listed as such and the walk goes on behind it as long
// as its header can be trusted.
void ReadPackageAt(FILE* file, unsigned long long offset, unsigned long long length,
                   SAttachedPackage* out);

// Where the program file open as file carries its package, from the 24-byte
// trailer at its end: six little-endian words, the package's offset at byte 8
// and its length at byte 12. False when the file holds no trailer or the
// package would not lie before it.
bool LocatePackage(FILE* file, unsigned long long* offset, unsigned long long* length);

// Locates the package of the program file at path through its trailer (as
// the extraction does) and checks it. false with out->problem when the file cannot be read or holds
// no package.
bool ReadAttachedPackage(const char* path, SAttachedPackage* out);

// The SHA-256 of the package the program file at path carries (64 lower-case
// hex digits), the bytes between the zero words as `fwpack build` wrote them;
// empty when the file cannot be read or holds no package. A trace replays
// only against a program file whose package has this hash.
std::string PackageSha256(const char* path);

// The running program's own file, whatever directory it was started from.
constexpr const char* kOwnProgramFile = "/proc/self/exe";
