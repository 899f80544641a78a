#include "PackageInfo.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Attach.h"
#include "AttachedPackage.h"
#include "MAC_AppFileRead.h"
#include "MinisignFormat.h"
#include "SignatureBlock.h"

namespace {

// The signature line of fwpack info for a signed program file: "signature
// key <ID>" (its key ID as minisign writes it); empty for an unsigned one, so
// that its listing stays as it was. false with *problem when the program file
// holds a block that is no minisign signature.
bool SignatureLine(FILE* file, std::string* line, std::string* problem) {
    std::string text;
    SMinisignSignature signature;
    switch (ReadSignatureBlock(file, &text, problem)) {
        case ESignatureBlock::kAbsent:
            return true;
        case ESignatureBlock::kDamaged:
            return false;
        case ESignatureBlock::kPresent:
            break;
    }
    if (!ParseSignature(text, &signature, problem)) {
        *problem = "the signature is not a minisign signature: " + *problem;
        return false;
    }
    *line = "signature key " + KeyIdText(signature.keyNumber) +
            (signature.prehashed ? " (prehashed)" : " (legacy)");
    return true;
}

}  // namespace

int PrintPackageInfo(const std::string& path, FILE* out, FILE* err) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == NULL) {
        std::fprintf(err, "fwpack: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(file);
        std::fprintf(err, "fwpack: %s is not a regular file\n", path.c_str());
        return 1;
    }
    const unsigned long long size = static_cast<unsigned long long>(st.st_size);

    // A program file ends in a trailer whose words agree with the file size;
    // anything else is taken as a bare package.
    PackageTrailer trailer;
    bool attached = false;
    if (size >= kTrailerLen) {
        std::vector<BYTE> last(kTrailerLen);
        attached = fseeko(file, static_cast<off_t>(size - kTrailerLen), SEEK_SET) == 0 &&
                   std::fread(last.data(), 1, last.size(), file) == last.size() &&
                   FindTrailer(last, size, trailer);
    }
    unsigned long long offset = 0, length = size;
    if (attached) {
        offset = trailer.packageOffset;
        length = trailer.packageLen;
    }
    // Checked in place, unit by unit, with the program's own reader.
    SAttachedPackage package;
    ReadPackageAt(file, offset, length, &package);
    std::string signatureLine, signatureProblem;
    const bool signatureRead = !attached || SignatureLine(file, &signatureLine, &signatureProblem);
    std::fclose(file);
    if (!package.valid) {
        std::string where = attached ? " (package at offset " + std::to_string(offset) +
                                           ", length " + std::to_string(length) + ")"
                                     : "";
        std::fprintf(err, "fwpack: %s%s: File Checked failed! %s\n", path.c_str(), where.c_str(),
                     package.problem.c_str());
        return 1;
    }
    if (!signatureRead) {
        std::fprintf(err, "fwpack: %s: %s\n", path.c_str(), signatureProblem.c_str());
        return 1;
    }
    std::fprintf(out, "identity %s\n", package.identity.c_str());
    if (!signatureLine.empty())
        std::fprintf(out, "%s\n", signatureLine.c_str());
    for (size_t i = 0; i < package.units.size(); ++i) {
        const SCheckedUnit& unit = package.units[i];
        std::fprintf(out, "unit %zu type 0x%08X length %u frames %llu\n", i, unit.type, unit.length,
                     UnitFrameCount(unit.length, unit.frameSize));
    }
    return 0;
}
