// The package's signature inside a program file. fwpack attach stores the
// minisign signature file as it is, followed by its length (4 bytes,
// little-endian) and an 8-byte magic, between the image and the zero word
// before the package:
//
//   IMAGE, SIG, length, magic, 4 zero bytes, PKG, 4 zero bytes, trailer
//
// The trailer's image length stays the image's own, its package offset
// moves behind the block; readers that know only the trailer's offset and
// length find the package as before.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Types.h"

constexpr char kSignatureMagic[] = "FPSIGN01";  // its 8 bytes, without the NUL
constexpr size_t kSignatureMagicLen = sizeof kSignatureMagic - 1;
// Length word, magic and the zero word before the package.
constexpr size_t kSignatureFooterLen = 4 + kSignatureMagicLen + 4;

// The block's bytes for the signature file's text: text, length, magic (the
// zero word is the attachment's own).
std::vector<BYTE> SignatureBlockBytes(const std::string& signatureText);

enum class ESignatureBlock {
    kAbsent,   // no block: the package is unsigned
    kPresent,  // *text holds the signature file
    kDamaged,  // a magic names a block that the file cannot hold; *problem says why
};

// Looks for the block of the program file open as file, before the package
// its trailer names. Every length is checked against the file before use.
ESignatureBlock ReadSignatureBlock(FILE* file, std::string* text, std::string* problem);
