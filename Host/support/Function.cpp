#include "Function.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Assert.h"

char g_ResourcesPath[256];

namespace {

constexpr size_t kPathSize = 1024;     // callers' path buffers
constexpr size_t kLineSize = 2048;     // one log entry, one resource line
constexpr long kLogLimit = 10000000L;  // above this the log is emptied
constexpr size_t kResultSize = 64;     // the result file, always this long

const char kBinFileName[] = "MODEM_FIRMWARE.BIN";
const char kResultFileName[] = "FlashPilot-Result";
const char kLogFileName[] = "KorvelFlashPilotLog.log";
const char kStringListName[] = "StringList.strings";

// Copies at most size - 1 bytes of text into out and terminates it; returns
// the length copied.
size_t CopyBounded(char* out, size_t size, const char* text) {
    if (size == 0)
        return 0;
    size_t length = std::strlen(text);
    if (length > size - 1)
        length = size - 1;
    std::memcpy(out, text, length);
    out[length] = '\0';
    return length;
}

// The resource directory followed by file, bounded by the callers' 1,024 bytes.
void ResourceFile(char* out, const char* file) {
    char dir[kPathSize];
    getResourcePath(dir);
    int written = std::snprintf(out, kPathSize, "%s%s", dir, file);
    if (written < 0)
        out[0] = '\0';
}

// The size of an open stream as end position minus start position.
long StreamSize(FILE* file) {
    std::fseek(file, 0, SEEK_END);
    long end = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    long start = std::ftell(file);
    return end - start;
}

}  // namespace

bool getCurrentPath(char* out) {
    // g_ResourcesPath is never longer than its own 256 bytes.
    CopyBounded(out, sizeof g_ResourcesPath, g_ResourcesPath);
    return true;
}

bool getResourcePath(char* out) {
    return getCurrentPath(out);
}

bool getBinFilePath(char* out) {
    ResourceFile(out, kBinFileName);
    std::printf("Bin path = %s\n", out);
    return true;
}

bool getResultFilePath(char* out) {
    ResourceFile(out, kResultFileName);
    std::printf("Result path = %s\n", out);
    return true;
}

bool GetTempFileName(char* out) {
    return getBinFilePath(out);
}

bool getStringList(char* out) {
    ResourceFile(out, kStringListName);
    return true;
}

int GetFileSize(FILE* file) {
    if (file == NULL)
        return -1;
    return static_cast<int>(StreamSize(file));
}

void GetCurrentTime(char* out, const char* format) {
    (void)format;  // only the asctime form is ever asked for
    time_t now = std::time(NULL);
    struct tm local;
    char text[64];
    if (localtime_r(&now, &local) == NULL || asctime_r(&local, text) == NULL) {
        // Out of asctime's range; keep the form (24 characters and a newline).
        CopyBounded(text, sizeof text, "??? ??? ?? ??:??:?? ????\n");
    }
    CopyBounded(out, 26, text);
}

void itoa(char* out, int data) {
    FP_ASSERT(data >= 0);
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + data % 10);
        data /= 10;
    } while (data > 0);
    for (int i = 0; i < count; ++i)
        out[i] = digits[count - 1 - i];
}

BOOL GetSubstring(const char* pszString, char c, int index, char* output) {
    FP_ASSERT(pszString != NULL && c >= 0 && index >= 0);
    size_t length = std::strlen(pszString);
    // The field is gathered apart from the input, so output may alias it.
    char* field = new char[length + 1];
    std::memset(field, 0, length + 1);
    size_t fieldLength = 0;
    int separators = 0;
    for (size_t i = 0; i < length; ++i) {
        char ch = pszString[i];
        if (ch == c) {
            ++separators;
            continue;
        }
        if (separators == index)
            field[fieldLength++] = ch;
        if (separators == index + 1) {
            std::memcpy(output, field, fieldLength + 1);
            delete[] field;
            return TRUE;
        }
    }
    BOOL found = fieldLength > 0 ? TRUE : FALSE;
    if (found)
        std::memcpy(output, field, fieldLength + 1);
    delete[] field;
    return found;
}

FILE* OpenForWriting(const char* path, const char* mode) {
    FP_ASSERT(path != NULL && mode != NULL);
    int flags = O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    if (mode[0] == 'w')
        flags |= O_TRUNC;
    else if (mode[0] == 'a')
        flags |= O_APPEND;
    else
        return std::fopen(path, mode);
    flags |= std::strchr(mode, '+') != NULL ? O_RDWR : O_WRONLY;
    int fd = open(path, flags, 0644);
    if (fd < 0)
        return NULL;
    FILE* file = fdopen(fd, mode);
    if (file == NULL)
        close(fd);
    return file;
}

void Log(const char* pStr) {
    FP_ASSERT(pStr != NULL);
    char path[kPathSize];
    ResourceFile(path, kLogFileName);

    // Time text without its newline, " -- ", the message: cut at 2,047 bytes.
    char stamp[32];
    GetCurrentTime(stamp, NULL);
    size_t stampLength = std::strlen(stamp);
    if (stampLength > 0 && stamp[stampLength - 1] == '\n')
        stamp[stampLength - 1] = '\0';
    char entry[kLineSize];
    int written = std::snprintf(entry, sizeof entry, "%s -- %s", stamp, pStr);
    if (written < 0)
        return;
    size_t entryLength = std::strlen(entry);

    FILE* file = OpenForWriting(path, "a+");
    if (file == NULL) {
        std::puts("Log file open failed!");
        return;
    }
    long size = StreamSize(file);
    std::fclose(file);

    file = OpenForWriting(path, size > kLogLimit ? "w+" : "a+");
    if (file == NULL) {
        std::puts("open log file error");
        return;
    }
    std::fwrite(entry, 1, entryLength, file);
    std::fclose(file);
}

void CleanLog() {
    char path[kPathSize];
    ResourceFile(path, kLogFileName);
    FILE* file = OpenForWriting(path, "w");
    if (file == NULL) {
        std::puts("Log file open failed!");
        return;
    }
    std::fclose(file);
}

namespace {
std::atomic<bool> g_leaveResultFile{false};
}  // namespace

void LeaveResultFileAlone(bool leave) {
    g_leaveResultFile = leave;
}

bool ReplaceFile(const char* path, const void* data, size_t size, std::string* why) {
    const std::string temporary = std::string(path) + ".tmp";
    unlink(temporary.c_str());  // a leftover, never followed if it is a link
    FILE* file = OpenForWriting(temporary.c_str(), "w");
    if (file == NULL) {
        *why = std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(data, 1, size, file) == size && std::fflush(file) == 0 &&
              fsync(fileno(file)) == 0;
    if (!ok)
        *why = std::strerror(errno);
    if (std::fclose(file) != 0 && ok) {
        *why = std::strerror(errno);
        ok = false;
    }
    if (ok && std::rename(temporary.c_str(), path) != 0) {
        *why = std::strerror(errno);
        ok = false;
    }
    if (!ok)
        unlink(temporary.c_str());
    return ok;
}

namespace {

// Writes size bytes over the start of the existing regular file path and
// cuts it to size: the file's own block is used again, so this works when
// the file system has no block or inode left for a replacement. Never
// through a symbolic link; false with errno's text in *why.
bool OverwriteInPlace(const char* path, const void* data, size_t size, std::string* why) {
    const int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok)
        errno = EINVAL;  // a device, a FIFO or a directory: nothing to overwrite
    ok = ok && pwrite(fd, data, size, 0) == static_cast<ssize_t>(size) &&
         (st.st_size <= static_cast<off_t>(size) || ftruncate(fd, size) == 0) && fsync(fd) == 0;
    if (!ok)
        *why = std::strerror(errno);
    close(fd);
    return ok;
}

}  // namespace

void WriteResult(const char* word) {
    if (g_leaveResultFile)
        return;
    char path[kPathSize];
    getResultFilePath(path);
    // At most 63 bytes of the word, so the file always ends in a zero byte.
    char buffer[kResultSize];
    std::memset(buffer, 0, sizeof buffer);
    CopyBounded(buffer, sizeof buffer, word);
    // A replacement needs a new inode and a new block; on a full file system
    // the result goes over the old file's 64 bytes instead.
    std::string why;
    if (!ReplaceFile(path, buffer, sizeof buffer, &why) &&
        !OverwriteInPlace(path, buffer, sizeof buffer, &why))
        std::puts("open Flashpilot-Result failed!");
}

long LoadString(const char* nID, char* lpszBuf, size_t outSize) {
    FP_ASSERT(nID != NULL && lpszBuf != NULL);
    char path[kPathSize];
    getStringList(path);
    FILE* file = nID[0] == '\0' ? NULL : std::fopen(path, "r");
    if (file == NULL)
        return static_cast<long>(CopyBounded(lpszBuf, outSize, nID));

    char line[kLineSize];
    while (std::fgets(line, sizeof line, file) != NULL) {
        if (strcasestr(line, nID) == NULL)
            continue;
        // "KEY"<tabs>= "VALUE";  split at '"': field 1 the key, field 3 the value.
        if (!GetSubstring(line, '"', 3, line)) {
            if (outSize > 0)
                lpszBuf[0] = '\0';
            std::fclose(file);
            return 0;
        }
        std::fclose(file);
        return static_cast<long>(CopyBounded(lpszBuf, outSize, line));
    }
    std::fclose(file);
    return static_cast<long>(CopyBounded(lpszBuf, outSize, nID));
}

long LoadString(const char* nID, char* lpszBuf) {
    return LoadString(nID, lpszBuf, kLineSize);
}

long SecondVersionField(const char* version) {
    char field[64] = {};
    if (std::strlen(version) >= sizeof field || !GetSubstring(version, '.', 1, field))
        return 0;
    if (!std::isdigit(static_cast<unsigned char>(field[0])))
        return 0;
    errno = 0;
    long value = std::strtol(field, nullptr, 10);
    return errno == 0 ? value : LONG_MAX;
}
