#include "PackageSignature.h"

#include "SignatureBlock.h"

const char* SignatureStateName(ESignatureState state) {
    switch (state) {
        case ESignatureState::kValid:
            return "valid";
        case ESignatureState::kUnknownKey:
            return "unknown-key";
        case ESignatureState::kBad:
            return "bad";
        case ESignatureState::kUnsigned:
            return "unsigned";
        case ESignatureState::kNotChecked:
            break;
    }
    return "not-checked";
}

SSignatureVerdict JudgePackageSignature(FILE* programFile, FILE* packageFile,
                                        unsigned long long offset, unsigned long long length,
                                        const STrustStore& store) {
    SSignatureVerdict verdict;
    verdict.trustConfigured = store.configured;
    std::string text;
    switch (ReadSignatureBlock(programFile, &text, &verdict.problem)) {
        case ESignatureBlock::kAbsent:
            verdict.state = ESignatureState::kUnsigned;
            return verdict;
        case ESignatureBlock::kDamaged:
            verdict.state = ESignatureState::kBad;
            return verdict;
        case ESignatureBlock::kPresent:
            break;
    }
    SMinisignSignature signature;
    if (!ParseSignature(text, &signature, &verdict.problem)) {
        verdict.state = ESignatureState::kBad;
        verdict.problem = "the signature is not a minisign signature: " + verdict.problem;
        return verdict;
    }
    verdict.keyId = KeyIdText(signature.keyNumber);
    const STrustedKey* key = FindTrustedKey(store, signature.keyNumber);
    verdict.keyTrusted = key != nullptr;
    if (!store.configured) {
        verdict.state = ESignatureState::kNotChecked;
    } else if (key == nullptr) {
        verdict.state = ESignatureState::kUnknownKey;
    } else if (VerifySignature(signature, key->key, packageFile, offset, length,
                               &verdict.problem)) {
        verdict.state = ESignatureState::kValid;
    } else {
        verdict.state = ESignatureState::kBad;
    }
    return verdict;
}
