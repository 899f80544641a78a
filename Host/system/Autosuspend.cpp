#include "Autosuspend.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "Function.h"
#include "TestSeams.h"

namespace {

std::mutex g_lock;
std::string g_found;    // the first device's value, empty until read
std::string g_current;  // the device last kept awake, empty when none
bool g_problemLogged = false;

std::string ControlFile(const std::string& deviceDir) {
    return deviceDir + "/power/control";
}

void LogProblemOnce(const std::string& file, const char* what, int error) {
    if (g_problemLogged)
        return;
    g_problemLogged = true;
    char text[1200];
    std::snprintf(text, sizeof text,
                  "USB autosuspend: %s cannot be %s (%s); it is left as it is.\n",
                  PlainPath(file).c_str(), what, std::strerror(error));
    Log(text);
}

bool ReadControl(const std::string& file, std::string* value) {
    FILE* f = std::fopen(file.c_str(), "re");
    if (f == nullptr)
        return false;
    char line[32] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!read) {
        errno = EIO;
        return false;
    }
    line[std::strcspn(line, "\n")] = '\0';
    *value = line;
    return !value->empty();
}

bool WriteControl(const std::string& file, const std::string& value) {
    FILE* f = std::fopen(file.c_str(), "we");
    if (f == nullptr)
        return false;
    const bool written = std::fprintf(f, "%s\n", value.c_str()) > 0;
    const bool closed = std::fclose(f) == 0;
    return written && closed;
}

}  // namespace

void KeepDeviceAwake(const std::string& deviceDir) {
    std::lock_guard<std::mutex> lock(g_lock);
    const std::string file = ControlFile(deviceDir);
    std::string value;
    if (!ReadControl(file, &value)) {
        LogProblemOnce(file, "read", errno);
        return;
    }
    if (g_found.empty()) {
        g_found = value;
        char text[1200];
        std::snprintf(text, sizeof text, "USB autosuspend off for the update (%s was %s).\n",
                      PlainPath(file).c_str(), value.c_str());
        Log(text);
    }
    if (value != "on" && !WriteControl(file, "on")) {
        LogProblemOnce(file, "written", errno);
        return;
    }
    g_current = deviceDir;
}

void RestoreAutosuspend() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_current.empty() || g_found.empty())
        return;
    const std::string file = ControlFile(g_current);
    g_current.clear();
    if (g_found == "on")
        return;
    char text[1200];
    if (WriteControl(file, g_found)) {
        std::snprintf(text, sizeof text, "USB autosuspend set back to %s (%s).\n", g_found.c_str(),
                      PlainPath(file).c_str());
    } else {
        std::snprintf(text, sizeof text, "USB autosuspend: %s cannot be set back to %s (%s).\n",
                      PlainPath(file).c_str(), g_found.c_str(), std::strerror(errno));
    }
    Log(text);
}
