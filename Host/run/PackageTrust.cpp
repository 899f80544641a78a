#include "PackageTrust.h"

#include <sys/stat.h>

#include <cstdio>
#include <mutex>

#include "AttachedPackage.h"
#include "ConsoleScreens.h"
#include "Function.h"
#include "PackageIdentity.h"
#include "ProcessFlags.h"
#include "ProgramFlow.h"

namespace {

std::mutex g_lock;
bool g_judged = false;
SSignatureVerdict g_verdict;
std::string g_refusal;

// Judges the length bytes of packageFile at offset against the signature
// of the program file at programPath.
SSignatureVerdict Judge(const char* programPath, FILE* packageFile, unsigned long long offset,
                        unsigned long long length, const STrustStore& store) {
    FILE* program = std::fopen(programPath, "rb");
    if (program == nullptr) {
        SSignatureVerdict verdict;
        verdict.trustConfigured = store.configured;
        verdict.state = ESignatureState::kBad;
        verdict.problem = std::string("the program file ") + programPath + " cannot be read";
        return verdict;
    }
    const SSignatureVerdict verdict =
        JudgePackageSignature(program, packageFile, offset, length, store);
    std::fclose(program);
    return verdict;
}

// The extracted package judged against the program file's signature.
SSignatureVerdict JudgeExtracted(const std::string& programPath, const STrustStore& store) {
    FILE* package = std::fopen(pathBinfile, "rb");
    struct stat st;
    if (package == nullptr || fstat(fileno(package), &st) != 0) {
        if (package != nullptr)
            std::fclose(package);
        SSignatureVerdict verdict;
        verdict.trustConfigured = store.configured;
        verdict.state = ESignatureState::kBad;
        verdict.problem = "the extracted package cannot be read";
        return verdict;
    }
    const SSignatureVerdict verdict =
        Judge(programPath.c_str(), package, 0, static_cast<unsigned long long>(st.st_size), store);
    std::fclose(package);
    return verdict;
}

void LogLine(const std::string& text) {
    Log((text + "\n").c_str());
}

// The verdict in the log, with every trusted key that could not be read.
void LogVerdict(const SSignatureVerdict& verdict, const STrustStore& store) {
    for (const std::string& problem : store.problems) {
        LogLine("Trusted key refused: " + problem);
        std::fprintf(stderr, "Trusted key refused: %s\n", problem.c_str());
    }
    if (!verdict.trustConfigured)
        LogLine("The package's signature was not checked: no key is trusted on this host.");
    else if (verdict.state == ESignatureState::kValid)
        LogLine("The package is signed by the trusted key " + verdict.keyId + ".");
}

// The update's end for a refused package: the failure screen, as the
// update's other failures end, with "FALSE" in the result file.
void ShowRefusal(const std::string& reason) {
    std::fprintf(stderr, "%s\n", reason.c_str());
    std::fflush(stderr);
    BuildWelcomeBanner();
    char text[] = "Update failed!";
    ProcessUINotify(3, 23, text, nullptr);
}

std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

}  // namespace

std::string RefusalReason(const SSignatureVerdict& verdict) {
    if (!verdict.trustConfigured)
        return std::string();
    switch (verdict.state) {
        case ESignatureState::kValid:
        case ESignatureState::kNotChecked:
            return std::string();
        case ESignatureState::kUnsigned:
            return "the package is refused: it is not signed, and this host accepts only "
                   "packages signed by a trusted key";
        case ESignatureState::kUnknownKey:
            return "the package is refused: it is signed by the key " + verdict.keyId +
                   ", which this host does not trust";
        case ESignatureState::kBad:
            break;
    }
    return "the package is refused: its signature" +
           (verdict.keyId.empty() ? std::string() : " by the key " + verdict.keyId) +
           " is bad: " + verdict.problem;
}

std::string SignatureSummary(const SSignatureVerdict& verdict) {
    std::string text = SignatureStateName(verdict.state);
    if (!verdict.keyId.empty())
        text += ", key " + verdict.keyId +
                (verdict.keyTrusted ? ", trusted here" : ", not trusted here");
    return text;
}

bool AdmitPackage(const std::string& programPath, bool checking) {
    const STrustStore store = LoadTrustStore();
    const SSignatureVerdict verdict = JudgeExtracted(programPath, store);
    const std::string reason = RefusalReason(verdict);
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_verdict = verdict;
        g_judged = true;
        g_refusal = reason;
    }
    LogVerdict(verdict, store);
    if (reason.empty())
        return true;
    const std::string sentence = Capitalised(reason) + ".";
    LogLine(sentence);
    if (checking)
        return true;
    g_nErrorCode = kPackageNotTrusted;
    ShowRefusal(sentence);
    return false;
}

std::string PackageRefusal() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_refusal;
}

SSignatureVerdict OwnPackageSignature() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_judged)
        return g_verdict;
    g_judged = true;
    FILE* file = std::fopen(kOwnProgramFile, "rb");
    unsigned long long offset = 0, length = 0;
    if (file != nullptr && LocatePackage(file, &offset, &length))
        g_verdict = Judge(kOwnProgramFile, file, offset, length, LoadTrustStore());
    if (file != nullptr)
        std::fclose(file);
    return g_verdict;
}
