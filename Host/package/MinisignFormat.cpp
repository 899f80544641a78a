#include "MinisignFormat.h"

#include <sodium.h>

#include <climits>
#include <cstring>
#include <vector>

namespace {

const char kCommentPrefix[] = "untrusted comment: ";
const char kTrustedPrefix[] = "trusted comment: ";
const char kLegacyAlgorithm[] = "Ed";
const char kHashedAlgorithm[] = "ED";
constexpr size_t kAlgorithmLen = 2;
constexpr size_t kKeyBytes = kAlgorithmLen + kKeyNumberLen + 32;        // 42
constexpr size_t kSignatureBytes = kAlgorithmLen + kKeyNumberLen + 64;  // 74
constexpr size_t kReadChunk = 64 * 1024;

// The next line of text from *at, read as minisign's fgets into a buffer of
// maxLine + 1 bytes reads it: at most maxLine bytes with its line feed. The
// line is cut at its first CR or LF, as minisign trims it; *ended says
// whether a line feed ended it. false when there is no line, it is longer,
// or it holds a NUL byte.
bool NextLine(const std::string& text, size_t* at, size_t maxLine, const char* what,
              std::string* line, bool* ended, std::string* problem) {
    if (*at >= text.size()) {
        *problem = std::string(what) + " is missing";
        return false;
    }
    const size_t feed = text.find('\n', *at);
    const size_t end = feed == std::string::npos ? text.size() : feed + 1;
    if (end - *at > maxLine) {
        *problem = std::string(what) + " is longer than " + std::to_string(maxLine) + " bytes";
        return false;
    }
    std::string raw = text.substr(*at, end - *at);
    *at = end;
    if (raw.find('\0') != std::string::npos) {
        *problem = std::string(what) + " holds a NUL byte";
        return false;
    }
    *ended = feed != std::string::npos;
    *line = raw.substr(0, raw.find_first_of("\r\n"));
    return true;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Decodes base64 text of exactly size bytes into out.
bool DecodeExactly(const std::string& text, BYTE* out, size_t size) {
    size_t decoded = 0;
    const char* end = nullptr;
    return sodium_init() >= 0 &&
           sodium_base642bin(out, size, text.data(), text.size(), nullptr, &decoded, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           decoded == size && end == text.data() + text.size();
}

// BLAKE2b-512 of length bytes of file at offset.
bool HashRegion(FILE* file, unsigned long long offset, unsigned long long length,
                BYTE hash[crypto_generichash_BYTES_MAX]) {
    crypto_generichash_state state;
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0 ||
        crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX) != 0)
        return false;
    std::vector<BYTE> chunk(kReadChunk);
    while (length > 0) {
        const size_t want = length < kReadChunk ? static_cast<size_t>(length) : kReadChunk;
        if (std::fread(chunk.data(), 1, want, file) != want)
            return false;
        crypto_generichash_update(&state, chunk.data(), want);
        length -= want;
    }
    return crypto_generichash_final(&state, hash, crypto_generichash_BYTES_MAX) == 0;
}

bool ReadRegion(FILE* file, unsigned long long offset, unsigned long long length,
                std::vector<BYTE>* bytes) {
    if (length > static_cast<unsigned long long>(INT_MAX) ||
        fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0)
        return false;
    bytes->resize(static_cast<size_t>(length));
    return std::fread(bytes->data(), 1, bytes->size(), file) == bytes->size();
}

}  // namespace

std::string KeyIdText(const KeyNumber& keyNumber) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = kKeyNumberLen; i-- > 0;) {
        text += kDigits[keyNumber[i] >> 4];
        text += kDigits[keyNumber[i] & 0xF];
    }
    return text;
}

bool ParsePublicKey(const std::string& text, SMinisignKey* key, std::string* problem) {
    size_t at = 0;
    std::string comment, encoded;
    bool ended = false;
    if (!NextLine(text, &at, kMaxCommentLine, "the comment line", &comment, &ended, problem) ||
        !NextLine(text, &at, kMaxCommentLine, "the key line", &encoded, &ended, problem))
        return false;
    if (!StartsWith(comment, kCommentPrefix)) {
        *problem = std::string("the first line does not begin with \"") + kCommentPrefix + "\"";
        return false;
    }
    BYTE bytes[kKeyBytes];
    if (!DecodeExactly(encoded, bytes, sizeof bytes)) {
        *problem = "the key line is not the base64 text of a minisign public key";
        return false;
    }
    if (std::memcmp(bytes, kLegacyAlgorithm, kAlgorithmLen) != 0) {
        *problem = "the key's algorithm is not Ed25519 (\"Ed\")";
        return false;
    }
    std::memcpy(key->keyNumber.data(), bytes + kAlgorithmLen, kKeyNumberLen);
    std::memcpy(key->publicKey.data(), bytes + kAlgorithmLen + kKeyNumberLen,
                key->publicKey.size());
    return true;
}

bool ParseSignature(const std::string& text, SMinisignSignature* signature, std::string* problem) {
    size_t at = 0;
    std::string comment, encoded, trusted, global;
    bool ended = false;
    if (!NextLine(text, &at, kMaxCommentLine, "the untrusted comment line", &comment, &ended,
                  problem))
        return false;
    if (!ended || !StartsWith(comment, kCommentPrefix)) {
        *problem = std::string("the first line does not begin with \"") + kCommentPrefix + "\"";
        return false;
    }
    if (!NextLine(text, &at, kMaxSignatureLine, "the signature line", &encoded, &ended, problem) ||
        !NextLine(text, &at, kMaxTrustedCommentLine, "the trusted comment line", &trusted, &ended,
                  problem))
        return false;
    if (!ended || !StartsWith(trusted, kTrustedPrefix)) {
        *problem = std::string("the third line does not begin with \"") + kTrustedPrefix + "\"";
        return false;
    }
    if (!NextLine(text, &at, kMaxGlobalSignatureLine, "the global signature line", &global, &ended,
                  problem))
        return false;
    BYTE bytes[kSignatureBytes];
    if (!DecodeExactly(encoded, bytes, sizeof bytes)) {
        *problem = "the signature line is not the base64 text of a minisign signature";
        return false;
    }
    if (std::memcmp(bytes, kHashedAlgorithm, kAlgorithmLen) == 0) {
        signature->prehashed = true;
    } else if (std::memcmp(bytes, kLegacyAlgorithm, kAlgorithmLen) == 0) {
        signature->prehashed = false;
    } else {
        *problem = "the signature's algorithm is neither \"ED\" nor \"Ed\"";
        return false;
    }
    if (!DecodeExactly(global, signature->globalSignature.data(),
                       signature->globalSignature.size())) {
        *problem = "the global signature line is not the base64 text of a signature";
        return false;
    }
    std::memcpy(signature->keyNumber.data(), bytes + kAlgorithmLen, kKeyNumberLen);
    std::memcpy(signature->signature.data(), bytes + kAlgorithmLen + kKeyNumberLen,
                signature->signature.size());
    signature->trustedComment = trusted.substr(std::strlen(kTrustedPrefix));
    return true;
}

bool VerifySignature(const SMinisignSignature& signature, const SMinisignKey& key, FILE* file,
                     unsigned long long offset, unsigned long long length, std::string* problem) {
    if (sodium_init() < 0) {
        *problem = "the signature library cannot be initialised";
        return false;
    }
    BYTE hash[crypto_generichash_BYTES_MAX];
    std::vector<BYTE> message;
    const bool read = signature.prehashed ? HashRegion(file, offset, length, hash)
                                          : ReadRegion(file, offset, length, &message);
    if (!read) {
        *problem = "the package cannot be read";
        return false;
    }
    const BYTE* signedBytes = signature.prehashed ? hash : message.data();
    const size_t signedLen = signature.prehashed ? sizeof hash : message.size();
    if (crypto_sign_verify_detached(signature.signature.data(), signedBytes, signedLen,
                                    key.publicKey.data()) != 0) {
        *problem = "the signature does not match the package";
        return false;
    }
    std::vector<BYTE> global(signature.signature.begin(), signature.signature.end());
    global.insert(global.end(), signature.trustedComment.begin(), signature.trustedComment.end());
    if (crypto_sign_verify_detached(signature.globalSignature.data(), global.data(), global.size(),
                                    key.publicKey.data()) != 0) {
        *problem = "the trusted comment does not match its signature";
        return false;
    }
    return true;
}
