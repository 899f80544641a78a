#include "TestSeams.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* EnvOrNull(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

bool ParseScale(const char* text, double* factor) {
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0')
        return false;
    if (!(value > 0.0 && value <= 1.0))
        return false;
    *factor = value;
    return true;
}

}  // namespace

std::string TestSettingsInForce() {
    std::string lines;
    for (const char* name : {"FLASHPILOT_ROOT", "FLASHPILOT_TIME_SCALE", "FLASHPILOT_GUARD_PORT"}) {
        if (const char* value = EnvOrNull(name))
            lines += std::string("Test setting in force: ") + name + "=" + value + "\n";
    }
    return lines;
}

bool RootedPath(const char* path, char* out, size_t outSize) {
    if (outSize == 0)
        return false;
    const char* root = EnvOrNull("FLASHPILOT_ROOT");
    int written = std::snprintf(out, outSize, "%s%s", root ? root : "", path);
    if (written < 0 || static_cast<size_t>(written) >= outSize) {
        out[0] = '\0';
        return false;
    }
    return true;
}

namespace {

// path without the prefix root when root names a folder above it.
bool StripRoot(const std::string& path, const std::string& root, std::string* plain) {
    if (root.empty() || path.compare(0, root.size(), root) != 0 || path.size() == root.size() ||
        path[root.size()] != '/')
        return false;
    *plain = path.substr(root.size());
    return true;
}

}  // namespace

std::string PlainPath(const std::string& path) {
    const char* root = EnvOrNull("FLASHPILOT_ROOT");
    if (root == nullptr)
        return path;
    std::string rootText(root);
    while (rootText.size() > 1 && rootText.back() == '/')
        rootText.pop_back();
    std::string plain;
    if (StripRoot(path, rootText, &plain))
        return plain;
    char resolved[PATH_MAX];
    if (realpath(root, resolved) != nullptr && StripRoot(path, resolved, &plain))
        return plain;
    return path;
}

int GuardPort() {
    const char* text = EnvOrNull("FLASHPILOT_GUARD_PORT");
    if (text == nullptr)
        return 22222;
    char* end = nullptr;
    long port = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || port <= 0 || port > 65535)
        return 22222;
    return static_cast<int>(port);
}

bool TimeScaleIsValid(std::string* message) {
    const char* text = EnvOrNull("FLASHPILOT_TIME_SCALE");
    double factor = 1.0;
    if (text == nullptr || ParseScale(text, &factor))
        return true;
    if (message != nullptr) {
        *message = "FLASHPILOT_TIME_SCALE must be a decimal number above 0 and at most 1, not \"";
        *message += text;
        *message += "\"!";
    }
    return false;
}

namespace {

// 0 until first read from the environment or set by OverrideTimeScale.
std::atomic<double> g_timeScale{0.0};

}  // namespace

double TimeScale() {
    double factor = g_timeScale.load();
    if (factor > 0.0)
        return factor;
    factor = 1.0;
    const char* text = EnvOrNull("FLASHPILOT_TIME_SCALE");
    if (text != nullptr && !ParseScale(text, &factor))
        factor = 1.0;
    g_timeScale.store(factor);
    return factor;
}

void OverrideTimeScale(double factor) {
    g_timeScale.store(factor > 0.0 && factor <= 1.0 ? factor : 1.0);
}

unsigned long ScaledMs(unsigned long ms) {
    if (ms == 0xFFFFFFFFUL || ms == 0)
        return ms;
    double scaled = static_cast<double>(ms) * TimeScale();
    unsigned long result = static_cast<unsigned long>(scaled);
    return result == 0 ? 1 : result;
}
