// The minisign reader and verifier against signatures the minisign tool
// made, and against altered, truncated and overlong copies of them. Where
// minisign is installed every row is also put to `minisign -V`, which must
// agree on whether the signature holds.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "MinisignFixtures.h"
#include "MinisignFormat.h"
#include "PackageTestSupport.h"
#include "TrustedKeys.h"

namespace {

using namespace sigtest;

// The nth line of text (from 0), without its line feed.
std::string LineOf(const std::string& text, int n) {
    size_t at = 0;
    for (int i = 0; i < n; ++i)
        at = text.find('\n', at) + 1;
    return text.substr(at, text.find('\n', at) - at);
}

std::string WithLine(const std::string& text, int n, const std::string& line) {
    size_t at = 0;
    for (int i = 0; i < n; ++i)
        at = text.find('\n', at) + 1;
    return text.substr(0, at) + line + text.substr(text.find('\n', at));
}

std::string Decoded(const std::string& base64) {
    std::string bytes(base64.size(), '\0');
    size_t length = 0;
    EXPECT_EQ(
        sodium_base642bin(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size(), base64.data(),
                          base64.size(), nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL),
        0);
    bytes.resize(length);
    return bytes;
}

std::string Encoded(const std::string& bytes) {
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&text[0], text.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);
    return text;
}

// The base64 line n of text with its decoded bytes changed by edit.
std::string WithDecodedLine(const std::string& text, int n, void (*edit)(std::string*)) {
    std::string bytes = Decoded(LineOf(text, n));
    edit(&bytes);
    return WithLine(text, n, Encoded(bytes));
}

// What the reader and the verifier make of signature and key over message:
// "valid", "unknown key", "signature refused: ...", "key refused: ..." or
// "bad: ...".
std::string Outcome(const std::string& signature, const std::string& key,
                    const std::string& message) {
    SMinisignSignature parsed;
    SMinisignKey parsedKey;
    std::string problem;
    if (!ParsePublicKey(key, &parsedKey, &problem))
        return "key refused: " + problem;
    if (!ParseSignature(signature, &parsed, &problem))
        return "signature refused: " + problem;
    if (parsed.keyNumber != parsedKey.keyNumber)
        return "unknown key";
    FILE* file = std::tmpfile();
    std::fwrite(message.data(), 1, message.size(), file);
    const bool valid = VerifySignature(parsed, parsedKey, file, 0, message.size(), &problem);
    std::fclose(file);
    return valid ? "valid" : "bad: " + problem;
}

// Whether `minisign -V` accepts signature by key over message; -1 when the
// tool is not installed.
int MinisignAccepts(const std::string& signature, const std::string& key,
                    const std::string& message) {
    if (std::system("command -v minisign >/dev/null 2>&1") != 0)
        return -1;
    pkgtest::TempDir dir;
    auto write = [&](const char* name, const std::string& text) {
        pkgtest::WriteBytes(dir / name, pkgtest::Bytes(text.begin(), text.end()));
    };
    write("m", message);
    write("m.minisig", signature);
    write("k.pub", key);
    const std::string command = "minisign -V -q -p '" + (dir / "k.pub") + "' -m '" + (dir / "m") +
                                "' -x '" + (dir / "m.minisig") + "' >/dev/null 2>&1 </dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
}

struct SignatureCase {
    const char* name;
    std::string signature;
    std::string key = kFirstKey;
    std::string message = kSignedMessage;
    std::string outcome;  // "valid", or what the outcome begins with
};

std::vector<SignatureCase> SignatureCases() {
    const std::string hashed = kHashedSignature;
    const std::string comment1022 = "untrusted comment: " + std::string(1022 - 19, 'c');
    const std::string trusted8191 = "trusted comment: " + std::string(8191 - 17, 't');
    std::string flipped = LineOf(hashed, 1);
    flipped[40] = flipped[40] == 'A' ? 'B' : 'A';
    std::string crlf;
    for (char c : hashed)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return {
        {"PrehashedByMinisign", hashed, kFirstKey, kSignedMessage, "valid"},
        {"LegacyByMinisign", kLegacySignature, kFirstKey, kSignedMessage, "valid"},
        {"CarriageReturnsAreTrimmed", crlf, kFirstKey, kSignedMessage, "valid"},
        {"UntrustedCommentAtItsBound", WithLine(hashed, 0, comment1022), kFirstKey, kSignedMessage,
         "valid"},
        {"AnotherKey", hashed, kSecondKey, kSignedMessage, "unknown key"},
        {"WrongKeyIdInTheSignature",
         WithDecodedLine(hashed, 1, [](std::string* b) { (*b)[2] ^= 0x01; }), kFirstKey,
         kSignedMessage, "unknown key"},
        {"AnotherMessage", hashed, kFirstKey, "firmware package byteS\n",
         "bad: the signature does not match the package"},
        {"AlteredSignatureByte", WithLine(hashed, 1, flipped), kFirstKey, kSignedMessage,
         "bad: the signature does not match the package"},
        {"AlteredTrustedComment", WithLine(hashed, 2, "trusted comment: file:msg2"), kFirstKey,
         kSignedMessage, "bad: the trusted comment does not match its signature"},
        {"PrehashedTurnedLegacy", WithDecodedLine(hashed, 1, [](std::string* b) { (*b)[1] = 'd'; }),
         kFirstKey, kSignedMessage, "bad: the signature does not match the package"},
        {"UnknownSignatureAlgorithm",
         WithDecodedLine(hashed, 1, [](std::string* b) { (*b)[1] = 'X'; }), kFirstKey,
         kSignedMessage, "signature refused: the signature's algorithm is neither"},
        {"KeyOfAnotherAlgorithm", hashed,
         WithDecodedLine(kFirstKey, 1, [](std::string* b) { (*b)[1] = 'D'; }), kSignedMessage,
         "key refused: the key's algorithm is not Ed25519"},
        {"KeyCutShort", hashed, std::string(kFirstKey).substr(0, 90), kSignedMessage,
         "key refused: the key line is not the base64 text"},
        {"WithoutGlobalSignature", hashed.substr(0, hashed.rfind('\n', hashed.size() - 2) + 1),
         kFirstKey, kSignedMessage, "signature refused: the global signature line is missing"},
        {"CutInsideTheSignatureLine", hashed.substr(0, 120), kFirstKey, kSignedMessage,
         "signature refused: the trusted comment line is missing"},
        {"SignatureLineCutShort", WithLine(hashed, 1, LineOf(hashed, 1).substr(0, 96)), kFirstKey,
         kSignedMessage, "signature refused: the signature line is not"},
        {"UntrustedCommentTooLong", WithLine(hashed, 0, comment1022 + "c"), kFirstKey,
         kSignedMessage, "signature refused: the untrusted comment line is longer than 1023"},
        {"TrustedCommentTooLong", WithLine(hashed, 2, trusted8191), kFirstKey, kSignedMessage,
         "signature refused: the trusted comment line is longer than 8191"},
        {"NoUntrustedCommentPrefix", WithLine(hashed, 0, "comment: x"), kFirstKey, kSignedMessage,
         "signature refused: the first line does not begin"},
        {"NulInTheComment", WithLine(hashed, 0, std::string("untrusted comment: a\0b", 22)),
         kFirstKey, kSignedMessage, "signature refused: the untrusted comment line holds a NUL"},
    };
}

TEST(MinisignFormat, SignaturesAreJudgedAsMinisignJudgesThem) {
    for (const SignatureCase& c : SignatureCases()) {
        SCOPED_TRACE(c.name);
        const std::string outcome = Outcome(c.signature, c.key, c.message);
        EXPECT_EQ(outcome.compare(0, c.outcome.size(), c.outcome), 0) << outcome;
        const int tool = MinisignAccepts(c.signature, c.key, c.message);
        if (tool >= 0) {
            EXPECT_EQ(tool == 1, outcome == "valid") << "minisign -V disagrees";
        }
    }
}

TEST(MinisignFormat, KeyIdIsTheKeyNumberAsMinisignWritesIt) {
    SMinisignKey key;
    SMinisignSignature signature;
    std::string problem;
    ASSERT_TRUE(ParsePublicKey(kSecondKey, &key, &problem)) << problem;
    ASSERT_TRUE(ParseSignature(kLegacySignature, &signature, &problem)) << problem;
    EXPECT_EQ(KeyIdText(key.keyNumber), kSecondKeyId);
    EXPECT_EQ(KeyIdText(signature.keyNumber), kFirstKeyId);
    EXPECT_FALSE(signature.prehashed);
    EXPECT_EQ(signature.trustedComment, "file:msg");
}

}  // namespace

// The key table the build generates from keys/*.pub, as it does for
// FP_TRUSTED_KEYS.
extern const char* const kTestEmbeddedKeyTexts[];

namespace {

TEST(TrustedKeys, EmbeddedTableHoldsTheKeysOfTheBuild) {
    STrustStore store;
    AddKeyTexts(kTestEmbeddedKeyTexts, "built in", &store);
    EXPECT_TRUE(store.configured);
    EXPECT_TRUE(store.problems.empty());
    ASSERT_EQ(store.keys.size(), 2u);
    EXPECT_EQ(KeyIdText(store.keys[0].key.keyNumber), kFirstKeyId);
    EXPECT_EQ(KeyIdText(store.keys[1].key.keyNumber), kSecondKeyId);
    SMinisignSignature signature;
    std::string problem;
    ASSERT_TRUE(ParseSignature(kHashedSignature, &signature, &problem));
    const STrustedKey* found = FindTrustedKey(store, signature.keyNumber);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found, &store.keys[0]);
}

}  // namespace

namespace {

// The trusted-key directory under FLASHPILOT_ROOT: only .pub files count; a
// key that cannot be read still makes the host one that trusts keys, so that
// a broken key refuses packages instead of admitting every one.
TEST(TrustedKeys, DirectoryKeysAreReadUnderTheRoot) {
    pkgtest::TempDir root;
    const char* saved = std::getenv("FLASHPILOT_ROOT");
    const std::string savedRoot = saved != nullptr ? saved : "";
    setenv("FLASHPILOT_ROOT", root.Path().c_str(), 1);
    const std::string dir = root.Path() + kTrustedKeysDir;
    auto write = [&](const std::string& name, const std::string& text) {
        pkgtest::WriteBytes(dir + "/" + name, pkgtest::Bytes(text.begin(), text.end()));
    };

    STrustStore none;
    AddKeyDirectory(kTrustedKeysDir, &none);
    EXPECT_FALSE(none.configured);

    ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
    write("README", "not a key");
    write("second.pub.disabled", kSecondKey);
    STrustStore empty;
    AddKeyDirectory(kTrustedKeysDir, &empty);
    EXPECT_FALSE(empty.configured);

    write("b-broken.pub", std::string(kFirstKey).substr(0, 70));
    STrustStore broken;
    AddKeyDirectory(kTrustedKeysDir, &broken);
    EXPECT_TRUE(broken.configured);
    EXPECT_TRUE(broken.keys.empty());
    ASSERT_EQ(broken.problems.size(), 1u);
    EXPECT_EQ(broken.problems[0].rfind(std::string(kTrustedKeysDir) + "/b-broken.pub: ", 0), 0u)
        << broken.problems[0];

    write("a-first.pub", kFirstKey);
    STrustStore one;
    AddKeyDirectory(kTrustedKeysDir, &one);
    ASSERT_EQ(one.keys.size(), 1u);
    EXPECT_EQ(KeyIdText(one.keys[0].key.keyNumber), kFirstKeyId);
    EXPECT_EQ(one.keys[0].source, std::string(kTrustedKeysDir) + "/a-first.pub");

    if (saved != nullptr)
        setenv("FLASHPILOT_ROOT", savedRoot.c_str(), 1);
    else
        unsetenv("FLASHPILOT_ROOT");
}

}  // namespace
