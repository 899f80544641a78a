#include "Attach.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "FileBytes.h"
#include "MinisignFormat.h"
#include "SignatureBlock.h"

bool ComposeProgramFile(const std::vector<BYTE>& image, const std::vector<BYTE>& package,
                        std::vector<BYTE>& out, std::string& error,
                        const std::vector<BYTE>& signatureBlock) {
    const unsigned long long total = static_cast<unsigned long long>(image.size()) +
                                     signatureBlock.size() + kAttachGap + package.size() +
                                     kAttachGap + kTrailerLen;
    if (total > kMaxToolFileLen) {
        error = "program file would be larger than 2 GiB";
        return false;
    }
    const DWORD imageLen = static_cast<DWORD>(image.size());
    const DWORD packageOffset = imageLen + static_cast<DWORD>(signatureBlock.size()) + kAttachGap;
    const DWORD packageLen = static_cast<DWORD>(package.size());
    const DWORD trailerOffset = packageOffset + packageLen + kAttachGap;

    out.clear();
    out.reserve(static_cast<size_t>(total));
    out.insert(out.end(), image.begin(), image.end());
    out.insert(out.end(), signatureBlock.begin(), signatureBlock.end());
    out.insert(out.end(), kAttachGap, 0);
    out.insert(out.end(), package.begin(), package.end());
    out.insert(out.end(), kAttachGap, 0);
    PutLe32(out, 0);
    PutLe32(out, imageLen);
    PutLe32(out, packageOffset);
    PutLe32(out, packageLen);
    PutLe32(out, trailerOffset);
    PutLe32(out, kTrailerLen);
    return true;
}

bool FindTrailer(const std::vector<BYTE>& lastBytes, unsigned long long fileSize,
                 PackageTrailer& trailer) {
    if (lastBytes.size() != kTrailerLen || fileSize < kTrailerLen)
        return false;
    trailer.reserved = LoadLe32(&lastBytes[0]);
    trailer.imageLen = LoadLe32(&lastBytes[4]);
    trailer.packageOffset = LoadLe32(&lastBytes[8]);
    trailer.packageLen = LoadLe32(&lastBytes[12]);
    trailer.trailerOffset = LoadLe32(&lastBytes[16]);
    trailer.trailerLen = LoadLe32(&lastBytes[20]);
    return trailer.reserved == 0 && trailer.trailerLen == kTrailerLen &&
           trailer.trailerOffset == fileSize - kTrailerLen &&
           trailer.imageLen <= trailer.packageOffset && trailer.packageLen > 0 &&
           static_cast<unsigned long long>(trailer.packageOffset) + trailer.packageLen <=
               trailer.trailerOffset;
}

namespace {

// The signature block of the minisign signature file at path; false when the
// file is no signature (refused before anything is written).
bool ReadSignatureFile(const std::string& path, std::vector<BYTE>& block, std::string& error) {
    std::vector<BYTE> bytes;
    if (!ReadWholeFile(path, bytes, error))
        return false;
    if (bytes.size() > kMaxSignatureFile) {
        error = path + ": longer than a minisign signature (" + std::to_string(kMaxSignatureFile) +
                " bytes)";
        return false;
    }
    const std::string text(bytes.begin(), bytes.end());
    SMinisignSignature signature;
    std::string problem;
    if (!ParseSignature(text, &signature, &problem)) {
        error = path + " is not a minisign signature: " + problem;
        return false;
    }
    block = SignatureBlockBytes(text);
    return true;
}

}  // namespace

bool AttachFiles(const std::string& outPath, const std::string& imagePath,
                 const std::string& packagePath, std::string& error,
                 const std::string& signaturePath) {
    std::vector<BYTE> image;
    std::vector<BYTE> package;
    std::vector<BYTE> block;
    std::vector<BYTE> out;
    if ((!signaturePath.empty() && !ReadSignatureFile(signaturePath, block, error)) ||
        !ReadWholeFile(imagePath, image, error) || !ReadWholeFile(packagePath, package, error) ||
        !ComposeProgramFile(image, package, out, error, block) ||
        !WriteWholeFile(outPath, out, error)) {
        return false;
    }
    struct stat st;
    if (stat(outPath.c_str(), &st) != 0) {
        error = "cannot stat " + outPath + ": " + std::strerror(errno);
        return false;
    }
    const mode_t mode = st.st_mode & 07777;
    const mode_t run = (mode & (S_IRUSR | S_IRGRP | S_IROTH)) >> 2;
    if (chmod(outPath.c_str(), mode | run | S_IXUSR) != 0) {
        error = "cannot give " + outPath + " the run bit: " + std::strerror(errno);
        return false;
    }
    return true;
}
