// Appends a package to the program image: IMAGE, 4 zero bytes, PKG, 4 zero
// bytes and the 24-byte trailer that says where the package lies. A signed
// package's signature block goes between IMAGE and the first zero word
// (SignatureBlock.h).
#pragma once

#include <string>
#include <vector>

#include "Types.h"

constexpr DWORD kTrailerLen = 24;
constexpr DWORD kAttachGap = 4;

// Where a package lies in a program file, as the trailer records it.
struct PackageTrailer {
    DWORD reserved;       // 0
    DWORD imageLen;       // E
    DWORD packageOffset;  // P = E + 4, + the signature block's length
    DWORD packageLen;     // N
    DWORD trailerOffset;  // T = P + N + 4 = file size - 24
    DWORD trailerLen;     // 24
};

// The program file's bytes for image and package, with the signature block
// (empty: none) between them.
bool ComposeProgramFile(const std::vector<BYTE>& image, const std::vector<BYTE>& package,
                        std::vector<BYTE>& out, std::string& error,
                        const std::vector<BYTE>& signatureBlock = {});

// Reads the last 24 bytes of file as a trailer and accepts it only when its
// words are consistent with a file of fileSize bytes.
bool FindTrailer(const std::vector<BYTE>& lastBytes, unsigned long long fileSize,
                 PackageTrailer& trailer);

// Writes OUT from the files IMAGE and PKG (and the minisign signature file
// SIG, when named; it must be one) and gives it the run bit wherever it has
// a read bit.
bool AttachFiles(const std::string& outPath, const std::string& imagePath,
                 const std::string& packagePath, std::string& error,
                 const std::string& signaturePath = std::string());
