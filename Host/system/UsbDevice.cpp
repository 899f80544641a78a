#include "UsbDevice.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>

bool PortPathBefore(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA && digitB) {
            size_t endA = i, endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA])))
                ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB])))
                ++endB;
            // Leading zeros do not count; then the longer number is the larger.
            const std::string numA = a.substr(i, endA - i), numB = b.substr(j, endB - j);
            const size_t zerosA = std::min(numA.find_first_not_of('0'), numA.size());
            const size_t zerosB = std::min(numB.find_first_not_of('0'), numB.size());
            const std::string valueA = numA.substr(zerosA), valueB = numB.substr(zerosB);
            if (valueA.size() != valueB.size())
                return valueA.size() < valueB.size();
            if (valueA != valueB)
                return valueA < valueB;
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

bool ResolveUsbDevice(const char* entryPath, std::string* deviceDir, std::string* portPath) {
    char resolved[PATH_MAX];
    if (realpath(entryPath, resolved) == nullptr)
        return false;
    std::string target = resolved;
    const size_t slash = target.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return false;
    *deviceDir = target.substr(0, slash);
    *portPath = deviceDir->substr(deviceDir->rfind('/') + 1);
    return true;
}

std::string ChooseDevicePath(std::vector<std::string> portPaths, const std::string& recorded,
                             bool firstWalkSawOne) {
    std::sort(portPaths.begin(), portPaths.end(), PortPathBefore);
    portPaths.erase(std::unique(portPaths.begin(), portPaths.end()), portPaths.end());
    if (portPaths.empty())
        return "";
    if (recorded.empty())
        return portPaths.front();
    if (std::find(portPaths.begin(), portPaths.end(), recorded) != portPaths.end())
        return recorded;
    if (firstWalkSawOne && portPaths.size() == 1)
        return portPaths.front();
    return "";
}
