// The minisign formats of a public key (.pub) and a signature (.minisig),
// read and checked as the minisign tool reads and checks them: Ed25519
// keys, signatures over the message itself (legacy "Ed") or over its
// BLAKE2b-512 hash ("ED", minisign's default), and the global signature over
// the signature and the trusted comment.
#pragma once

#include <array>
#include <cstdio>
#include <string>

#include "Types.h"

// Bounds of the files, as minisign reads them: a comment line of at most
// 1023 bytes, a trusted comment line of at most 8191 (both with their line
// feed), a signature line of 102 and a global signature line of 90.
constexpr size_t kMaxCommentLine = 1023;
constexpr size_t kMaxTrustedCommentLine = 8191;
constexpr size_t kMaxSignatureLine = 102;
constexpr size_t kMaxGlobalSignatureLine = 90;
// The largest signature file those lines make up; and of a key file.
constexpr size_t kMaxSignatureFile =
    kMaxCommentLine + kMaxSignatureLine + kMaxTrustedCommentLine + kMaxGlobalSignatureLine;
constexpr size_t kMaxKeyFile = 4096;

constexpr size_t kKeyNumberLen = 8;
using KeyNumber = std::array<BYTE, kKeyNumberLen>;

struct SMinisignKey {
    KeyNumber keyNumber{};
    std::array<BYTE, 32> publicKey{};
};

struct SMinisignSignature {
    bool prehashed = false;  // "ED": the signature covers BLAKE2b-512 of the message
    KeyNumber keyNumber{};
    std::array<BYTE, 64> signature{};
    std::string trustedComment;  // without its prefix and line end
    std::array<BYTE, 64> globalSignature{};
};

// The key ID as minisign writes it: the key number as a little-endian
// 64-bit value, in 16 upper-case hexadecimal digits.
std::string KeyIdText(const KeyNumber& keyNumber);

// Reads a public key file's text. false with *problem when it is not one.
bool ParsePublicKey(const std::string& text, SMinisignKey* key, std::string* problem);

// Reads a signature file's text. false with *problem when it is not one.
bool ParseSignature(const std::string& text, SMinisignSignature* signature, std::string* problem);

// Checks signature by key over length bytes of file at offset, then its
// global signature. The caller has matched the key numbers. false with
// *problem when either does not hold or the bytes cannot be read.
bool VerifySignature(const SMinisignSignature& signature, const SMinisignKey& key, FILE* file,
                     unsigned long long offset, unsigned long long length, std::string* problem);
