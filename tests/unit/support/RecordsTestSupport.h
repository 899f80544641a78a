// Helpers shared by the tests of the file services, the string resources and
// the package identity: temporary directories, file contents, captured
// standard output, environment and g_ResourcesPath scopes, and an expectation
// of the string file written independently of the program's table.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "Function.h"

namespace records_test {

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/fp_records_XXXXXX";
        char* made = ::mkdtemp(name);
        path_ = made != nullptr ? made : "";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string slash() const { return path_ + "/"; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Points g_ResourcesPath at dir for the scope and restores the old value.
class ResourcesPathScope {
public:
    explicit ResourcesPathScope(const std::string& dir) {
        std::memcpy(saved_, g_ResourcesPath, sizeof saved_);
        std::snprintf(g_ResourcesPath, sizeof g_ResourcesPath, "%s", dir.c_str());
    }
    ~ResourcesPathScope() { std::memcpy(g_ResourcesPath, saved_, sizeof saved_); }

private:
    char saved_[sizeof g_ResourcesPath];
};

// Sets an environment variable for the scope and restores the old state.
class EnvScope {
public:
    EnvScope(const char* name, const std::string& value) : name_(name) {
        const char* old = ::getenv(name);
        hadValue_ = old != nullptr;
        if (hadValue_)
            old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~EnvScope() {
        if (hadValue_) {
            ::setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }

private:
    std::string name_;
    std::string old_;
    bool hadValue_ = false;
};

inline bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void WriteAll(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

inline long long SizeOf(const std::string& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<long long>(size);
}

// Everything written to standard output while body runs.
inline std::string CaptureStdout(const std::function<void()>& body) {
    std::fflush(stdout);
    FILE* sink = std::tmpfile();
    int saved = ::dup(STDOUT_FILENO);
    ::dup2(::fileno(sink), STDOUT_FILENO);
    body();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    std::string text;
    std::rewind(sink);
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, sink)) > 0)
        text.append(chunk, got);
    std::fclose(sink);
    return text;
}

// True for the asctime form without its newline: "Www Mmm dd hh:mm:ss yyyy".
inline bool IsTimeText(const std::string& text) {
    const char* form = "AAA AAA _9 99:99:99 9999";
    if (text.size() != 24)
        return false;
    for (size_t i = 0; i < 24; ++i) {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        bool ok = false;
        switch (form[i]) {
            case 'A':
                ok = std::isalpha(ch) != 0;
                break;
            case '9':
                ok = std::isdigit(ch) != 0;
                break;
            case '_':
                ok = ch == ' ' || std::isdigit(ch) != 0;
                break;
            default:
                ok = ch == static_cast<unsigned char>(form[i]);
                break;
        }
        if (!ok)
            return false;
    }
    return true;
}

// True when text is pattern with every '@' standing for one time text.
inline bool MatchesWithTimes(const std::string& text, const std::string& pattern) {
    size_t at = 0;
    for (char ch : pattern) {
        if (ch == '@') {
            if (!IsTimeText(text.substr(at, 24)))
                return false;
            at += 24;
        } else {
            if (at >= text.size() || text[at] != ch)
                return false;
            ++at;
        }
    }
    return at == text.size();
}

// The string file as it must be after start-up, written from the table of
// keys, tab counts and values (not from the program's own rows).
inline std::string ExpectedStringFile(const std::string& board, const std::string& version) {
    struct Row {
        const char* key;
        int tabs;
        const char* value;
    };
    static const Row rows[] = {
        {"IDS_DBITEM_FIND_PORT", 4, "Find communication port"},
        {"IDS_ERROR_FIND_PORT", 4, "Find communication port failure!"},
        {"IDS_CHECK_BOARD_OPEN_PORT_ERROR", 1,
         "Communication port open failure before software quenry board information."},
        {"IDS_QUENRY_BOARD", 5, "Quenry board version"},
        {"IDS_ERROR", 7, "Failure"},
        {"IDS_QUENRY_DLD_MODE", 4, "Download mode"},
        {"IDS_FORCE_DLD", 6, "Force download"},
        {"IDS_NORMAL_DLD", 5, "Normal download"},
        {"IDS_SWITCH_DOWNLOAD_MODE", 3, "Switch download mode"},
        {"IDS_MEM_OVER", 6, "Memory overflow"},
        {"IDS_MEM_ERROR", 6, "PC memory too low!"},
        {"IDS_INITIAL_DOWNLOAD", 4, "Initialize download "},
        {"IDS_DLD_PACKER", 5, "Download data packet"},
        {"IDS_DLD_END", 6, "Download end"},
        {"IDS_DOWNLOAD", 6, "Downloading "},
        {"IDS_PARTITION", 6, "Partition.bin"},
        {"IDS_AMSS", 7, "amss.bin"},
        {"IDS_AMSSHD", 6, "amss_header.bin"},
        {"IDS_EFS2", 7, "efs2.bin"},
        {"IDS_OEMSBL", 6, "oemsbl.bin"},
        {"IDS_OEMSBLHD", 6, "oem_sbl_header.bin"},
        {"IDS_PBL", 7, "pbl.bin"},
        {"IDS_QCSBL", 7, "qcsbl.bin"},
        {"IDS_QCSBLHD_CFGDATA", 4, "qcsbl_header_configdata.bin"},
        {"IDS_DOWNLOAD_RESULT", 4, "Download result"},
        {"IDS_DOWNLOAD_FAILURE", 4, "Download failure"},
        {"IDS_CLOSE_PORT", 5, "Close port"},
        {"IDS_RESTORE_NV", 5, "Restore NV options"},
        {"IDS_START", 7, "================================================="},
        {"IDS_BOARD_RESET_FAILURE", 3, "Board reset failure before NV options restore"},
        {"IDS_RESET_BOARD", 5, "Reset"},
        {"IDS_OK", 7, "OK"},
        {"IDS_WAITACK_TIMEOUT", 4, "Wait_ACK_Timeout"},
        {"IDS_APPSBOOTHD", 5, "appsboothd.bin"},
        {"IDS_APPSBOOT", 6, "appsboot.bin"},
        {"IDS_APPSHD", 6, "appshd.bin"},
        {"IDS_APPS", 7, "apps.bin"},
        {"IDS_EFS2_APPS", 6, "efs2apps.bin"},
        {"IDS_ISOHD", 7, "MODEM_FIRMWARE_HD.BIN"},
        {"IDS_ISO", 7, "MODEM_FIRMWARE.BIN"},
    };
    static_assert(sizeof rows / sizeof rows[0] == 40, "forty rows");
    auto line = [](const std::string& key, int tabs, const std::string& value) {
        return "\"" + key + "\"" + std::string(tabs, '\t') + "= \"" + value + "\";\n";
    };
    std::string text;
    for (const Row& row : rows)
        text += line(row.key, row.tabs, row.value);
    text += line("IDS_UPD_VERSION", 5, board);
    text += line("IDS_SOFT_TYPE", 6, "firmware");
    text += line("IDS_PRODUCE_ID", 5, board);
    text += line("IDS_PRODUCE_Version", 5, version);
    return text;
}

}  // namespace records_test
