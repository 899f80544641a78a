#include "RackProgress.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t kVersionWidth = 16;

// A run phase as the console names it: the start-up is part of the search,
// the boot loader's reset is the modem's restart.
std::string Shown(const std::string& phase) {
    if (phase == "start-up")
        return "search";
    if (phase == "reset")
        return "restart";
    return phase;
}

std::string Padded(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string OrDash(const std::string& text) {
    return text.empty() ? "-" : text;
}

}  // namespace

bool ApplyStatusLine(SRackModem* modem, const std::string& line) {
    const size_t space = line.find(' ');
    if (space == std::string::npos)
        return false;
    const std::string kind = line.substr(0, space), value = line.substr(space + 1);
    if (kind == "progress") {
        char* end = nullptr;
        const long percent = std::strtol(value.c_str(), &end, 10);
        if (end != value.c_str() && *end == '\0' && percent >= 0 && percent <= 100)
            modem->percent = static_cast<int>(percent);
        return false;
    }
    if (kind != "phase" || value.empty() || Shown(value) == modem->phase)
        return false;
    modem->phase = Shown(value);
    return true;
}

std::string ProgressLine(const SRackModem& modem, size_t pathWidth) {
    std::string line = Padded(modem.portPath, pathWidth) + "  " + Padded(OrDash(modem.phase), 8);
    const bool downloading = modem.percent >= 0 && modem.phase != "search" &&
                             modem.phase != "backup" && modem.phase != "switch";
    line += downloading ? " " + Padded(std::to_string(modem.percent) + "%", 4) : "     ";
    if (!modem.result.empty())
        line += "  " + modem.result;
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

std::string EventLine(const std::string& timeOfDay, const SRackModem& modem) {
    return timeOfDay + " " + modem.portPath + " " +
           (modem.result.empty() ? OrDash(modem.phase) : modem.result) + "\n";
}

std::string ResultTable(const std::vector<SRackModem>& modems) {
    size_t width = 8;
    for (const SRackModem& m : modems)
        width = std::max(width, m.portPath.size());
    std::string table = Padded("USB port", width) + "  " + Padded("before", kVersionWidth) + "  " +
                        Padded("after", kVersionWidth) + "  result     error\n";
    for (const SRackModem& m : modems) {
        table += Padded(m.portPath, width) + "  " + Padded(OrDash(m.versionBefore), kVersionWidth) +
                 "  " + Padded(OrDash(m.versionAfter), kVersionWidth) + "  " +
                 Padded(OrDash(m.result), 9) + "  " +
                 (m.errorCode >= 0 ? std::to_string(m.errorCode) : "-") + "\n";
    }
    return table;
}
