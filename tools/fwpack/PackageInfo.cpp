#include "PackageInfo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Attach.h"
#include "MAC_AppFileRead.h"

namespace {

// A temporary copy of the package part of a program file, removed on scope exit.
class TempCopy {
public:
    ~TempCopy() {
        if (!m_path.empty())
            unlink(m_path.c_str());
    }

    bool Create(FILE* source, unsigned long long offset, unsigned long long length,
                std::string& error) {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern =
            std::string(dir != NULL && dir[0] != '\0' ? dir : "/tmp") + "/fwpack-info-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = mkstemp(name.data());
        if (fd < 0) {
            error = "cannot create a temporary file in " + pattern + ": " + std::strerror(errno);
            return false;
        }
        m_path = name.data();
        FILE* copy = fdopen(fd, "wb");
        if (copy == NULL) {
            close(fd);
            error = "cannot write " + m_path;
            return false;
        }
        bool ok = fseeko(source, static_cast<off_t>(offset), SEEK_SET) == 0;
        std::vector<char> block(65536);
        while (ok && length > 0) {
            const size_t want = length < block.size() ? static_cast<size_t>(length) : block.size();
            ok = std::fread(block.data(), 1, want, source) == want &&
                 std::fwrite(block.data(), 1, want, copy) == want;
            length -= want;
        }
        ok = (std::fclose(copy) == 0) && ok;
        if (!ok)
            error = "cannot copy the attached package to " + m_path;
        return ok;
    }

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

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
    TempCopy copy;
    std::string packagePath = path;
    if (attached) {
        std::string error;
        if (!copy.Create(file, trailer.packageOffset, trailer.packageLen, error)) {
            std::fclose(file);
            std::fprintf(err, "fwpack: %s\n", error.c_str());
            return 1;
        }
        packagePath = copy.Path();
    }
    std::fclose(file);

    CAppFileReader reader;
    if (!reader.SetAppFileName(packagePath.c_str())) {
        std::string where = attached
                                ? " (package at offset " + std::to_string(trailer.packageOffset) +
                                      ", length " + std::to_string(trailer.packageLen) + ")"
                                : "";
        std::fprintf(err, "fwpack: %s%s: %s %s\n", path.c_str(), where.c_str(),
                     reader.GetErrorText(), reader.GetCheckDetail());
        return 1;
    }
    SAppFileUnitHeader header;
    reader.GetUnitHeader(0, header);
    std::fprintf(out, "identity %.*s\n", static_cast<int>(sizeof(header.szIdentity)),
                 header.szIdentity);
    for (int i = 0; i < reader.GetUnitCount(); ++i) {
        reader.GetUnitHeader(i, header);
        std::fprintf(out, "unit %d type 0x%08X length %u frames %llu\n", i, header.dwUnitType,
                     header.dwDataLen, UnitFrameCount(header.dwDataLen, header.dwFrameSize));
    }
    return 0;
}
