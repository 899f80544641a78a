#include "E2eSigning.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "E2eSupport.h"

namespace e2e {

namespace {

const char kTrustedKeys[] = "/etc/flashpilot/trusted-keys";

// The last word of the public key's first line: its key ID, which minisign
// writes without leading zeros there; in 16 digits.
std::string KeyIdOf(const std::string& pub) {
    const std::string text = ReadFile(pub);
    const std::string first = text.substr(0, text.find('\n'));
    const std::string id = first.substr(first.rfind(' ') + 1);
    return std::string(id.size() < 16 ? 16 - id.size() : 0, '0') + id;
}

bool Sign(const SigningKey& key, const std::string& file, const std::string& signature) {
    return RunTool({MinisignPath(), "-S", "-s", key.sec, "-m", file, "-x", signature}).exitStatus ==
           0;
}

}  // namespace

const std::string& MinisignPath() {
    static const std::string path = [] {
        std::istringstream dirs(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
        std::string dir;
        while (std::getline(dirs, dir, ':')) {
            const std::string candidate = dir + "/minisign";
            if (!dir.empty() && access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        return std::string();
    }();
    return path;
}

const SigningKey& TestKey(int which) {
    static TempDir dir("fp-keys");
    static SigningKey keys[2];
    SigningKey& key = keys[which];
    if (key.pub.empty() && !MinisignPath().empty()) {
        const std::string base = dir / ("key" + std::to_string(which));
        if (RunTool({MinisignPath(), "-G", "-W", "-p", base + ".pub", "-s", base + ".sec"})
                .exitStatus == 0) {
            key = {base + ".pub", base + ".sec", KeyIdOf(base + ".pub")};
        }
    }
    return key;
}

bool AttachSigned(Signing signing, const std::string& out, const std::string& package,
                  std::string* error) {
    if (signing == Signing::kUnsigned)
        return AttachPackage(out, package, error);
    const std::string signature = package + ".minisig";
    std::string signedFile = package;
    if (signing == Signing::kOtherPackage) {
        std::string bytes = ReadFile(package);
        bytes[bytes.size() / 2] ^= 0x01;
        signedFile = package + ".other";
        if (!WriteFile(signedFile, bytes))
            return false;
    }
    if (!Sign(TestKey(signing == Signing::kSecondKey ? 1 : 0), signedFile, signature)) {
        *error = "minisign -S failed";
        return false;
    }
    const ToolResult r =
        RunTool({std::string(FP_BIN_DIR) + "/fwpack", "attach", "--signature", signature, "-o", out,
                 std::string(FP_BIN_DIR) + "/flashpilot", package});
    *error = r.output;
    return r.exitStatus == 0;
}

bool TrustKey(const std::string& root, const SigningKey& key) {
    const std::string dir = root + kTrustedKeys;
    return !key.pub.empty() && MakeDirs(dir) &&
           WriteFile(dir + "/" + key.id + ".pub", ReadFile(key.pub));
}

}  // namespace e2e
