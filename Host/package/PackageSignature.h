// The verdict on a package's signature: whether it is signed, by which key,
// and whether a key this host trusts made the signature over these bytes.
#pragma once

#include <cstdio>
#include <string>

#include "TrustedKeys.h"

enum class ESignatureState {
    kValid,       // signed by a trusted key, over these bytes
    kUnknownKey,  // signed by a key this host does not trust
    kBad,         // damaged, malformed, or not over these bytes
    kUnsigned,    // no signature
    kNotChecked,  // signed, but no key is trusted here
};

// "valid", "unknown-key", "bad", "unsigned", "not-checked".
const char* SignatureStateName(ESignatureState state);

struct SSignatureVerdict {
    ESignatureState state = ESignatureState::kUnsigned;
    std::string keyId;             // the signature's key ID; empty when none could be read
    bool keyTrusted = false;       // that key is one of the trusted keys
    bool trustConfigured = false;  // a key is trusted here: only a valid signature passes
    std::string problem;           // why a signature is bad
};

// Judges the signature block of programFile over the length bytes of
// packageFile at offset (the package in place, or its extracted copy),
// against store.
SSignatureVerdict JudgePackageSignature(FILE* programFile, FILE* packageFile,
                                        unsigned long long offset, unsigned long long length,
                                        const STrustStore& store);
