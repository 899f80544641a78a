// Signed program files for the end-to-end tests: key pairs made by
// `minisign -G` once per test process, packages signed by `minisign -S`,
// attached with `fwpack attach --signature`, and keys trusted under the
// fake root.
#pragma once

#include <string>

namespace e2e {

// The path of the minisign tool on PATH; empty when it is not installed (the
// tests that need it skip, naming the Debian package minisign).
const std::string& MinisignPath();

struct SigningKey {
    std::string pub, sec;
    std::string id;  // the key ID, as minisign wrote it in the public key's comment
};

// Key pair 0 or 1, made on first use; empty paths when they cannot be made.
const SigningKey& TestKey(int which);

// How a program file carries its package.
enum class Signing {
    kUnsigned,
    kFirstKey,      // signed by key 0
    kSecondKey,     // signed by key 1
    kOtherPackage,  // key 0's signature of another package
};

// fwpack attach of package to the program image as out, signed as signing says.
bool AttachSigned(Signing signing, const std::string& out, const std::string& package,
                  std::string* error);

// Puts key's public key into ROOT/etc/flashpilot/trusted-keys.
bool TrustKey(const std::string& root, const SigningKey& key);

}  // namespace e2e
