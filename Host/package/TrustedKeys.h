// The minisign public keys this host trusts: those built into the program
// (CMake option FP_TRUSTED_KEYS) and the .pub files of
// /etc/flashpilot/trusted-keys (read under FLASHPILOT_ROOT).
#pragma once

#include <string>
#include <vector>

#include "MinisignFormat.h"

constexpr char kTrustedKeysDir[] = "/etc/flashpilot/trusted-keys";

struct STrustedKey {
    SMinisignKey key;
    std::string source;  // the file, or "built in"
};

struct STrustStore {
    std::vector<STrustedKey> keys;
    // A key is configured, even when none of the configured keys could be
    // read: then no package is accepted rather than every one.
    bool configured = false;
    std::vector<std::string> problems;  // keys that were refused, with the reason
};

// The key texts of the build, ending with a null entry (generated source).
extern const char* const kBuiltInKeyTexts[];

// Adds the keys of texts (ending with a null entry), each named source.
void AddKeyTexts(const char* const* texts, const std::string& source, STrustStore* store);

// Adds the .pub files of the directory dir (an absolute system path, opened
// under FLASHPILOT_ROOT), in name order. A directory that exists but cannot
// be read still counts as configured.
void AddKeyDirectory(const char* dir, STrustStore* store);

// The built-in keys and those of kTrustedKeysDir.
STrustStore LoadTrustStore();

// The trusted key with the key number, or null.
const STrustedKey* FindTrustedKey(const STrustStore& store, const KeyNumber& keyNumber);
