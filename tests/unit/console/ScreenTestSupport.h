// Helpers for the console and controller tests: standard output captured into
// a temporary file, a temporary working directory for the program's files and
// the result file's word.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Function.h"

namespace screentest {

// Redirects file descriptor 1 into a temporary file until Stop.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        char name[] = "/tmp/fp-stdout-XXXXXX";
        m_fd = mkstemp(name);
        unlink(name);
        m_saved = dup(STDOUT_FILENO);
        dup2(m_fd, STDOUT_FILENO);
    }
    ~StdoutCapture() { Stop(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string Stop() {
        if (m_saved >= 0) {
            std::fflush(stdout);
            dup2(m_saved, STDOUT_FILENO);
            close(m_saved);
            m_saved = -1;
            lseek(m_fd, 0, SEEK_SET);
            char buffer[4096];
            ssize_t n;
            while ((n = read(m_fd, buffer, sizeof buffer)) > 0)
                m_text.append(buffer, static_cast<size_t>(n));
            close(m_fd);
        }
        return m_text;
    }

private:
    int m_fd = -1;
    int m_saved = -1;
    std::string m_text;
};

// A fresh temporary directory used as g_ResourcesPath (with its trailing "/").
class TempResources {
public:
    TempResources() {
        char name[] = "/tmp/fp-screens-XXXXXX";
        m_dir = mkdtemp(name);
        std::snprintf(m_saved, sizeof m_saved, "%s", g_ResourcesPath);
        std::snprintf(g_ResourcesPath, sizeof g_ResourcesPath, "%s/", m_dir.c_str());
    }
    ~TempResources() {
        std::snprintf(g_ResourcesPath, sizeof g_ResourcesPath, "%s", m_saved);
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    TempResources(const TempResources&) = delete;
    TempResources& operator=(const TempResources&) = delete;

    const std::string& Dir() const { return m_dir; }
    std::string Path(const char* file) const { return m_dir + "/" + file; }

    // The whole content of a file in the directory ("" when missing).
    std::string Read(const char* file) const {
        std::ifstream in(Path(file), std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    // The result file's word (the text before its zero bytes).
    std::string ResultWord() const {
        std::string content = Read("FlashPilot-Result");
        return content.substr(0, content.find('\0'));
    }

    // The "Result path = ..." line WriteResult prints.
    std::string ResultPathLine() const { return "Result path = " + m_dir + "/FlashPilot-Result\n"; }

    // Writes StringList.strings with the given "key", "value" lines.
    void WriteStrings(const std::string& lines) const {
        std::ofstream out(Path("StringList.strings"), std::ios::binary);
        out << lines;
    }

private:
    std::string m_dir;
    char m_saved[256];
};

inline std::string StringLine(const char* key, const char* value) {
    return std::string("\"") + key + "\"\t\t\t\t\t= \"" + value + "\";\n";
}

}  // namespace screentest
