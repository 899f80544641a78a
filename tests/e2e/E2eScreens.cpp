#include "E2eScreens.h"

#include <cstdio>

namespace e2e {

// ---- Text ------------------------------------------------------------------

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool StartsWith(const std::string& text, const std::string& head) {
    return text.compare(0, head.size(), head) == 0;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string ResultWord(const std::string& word) {
    return word + std::string(64 - word.size(), '\0');
}

// ---- Screens ---------------------------------------------------------------

std::string Rule() {
    return std::string(40, '-');
}

const char* const kSearchFrames[3] = {
    "> >> >> >> >> >> >> >> >> >> >> >> >> >>",
    ">> >> >> >> >> >> >> >> >> >> >> >> >> >",
    " >> >> >> >> >> >> >> >> >> >> >> >> >> ",
};

namespace {

// Written out rather than computed: a title 72 characters wide framed by 72
// asterisks.
const char kTitle[] = "*     Welcome to firmware FlashPilot V100R001B003 program! (QM90W)     *\n";
static_assert(sizeof kTitle == 72 + 2, "72 characters, the newline and the terminator");

const char kDeviceInfoTitle[] = "           Device Information\n";

std::string ResultHead(const std::string& banner) {
    return banner + Rule() + "\n                Result\n";
}

std::string Bar(unsigned percent) {
    return std::string(percent, '|') + std::string(100 - percent, '.');
}

}  // namespace

std::string Banner() {
    const std::string border = std::string(72, '*') + "\n";
    const std::string inner = "*" + std::string(70, ' ') + "*\n";
    return "\n" + border + inner + kTitle + inner + border;
}

std::string SearchHeader() {
    return Rule() + "\n          Searching device\n" + Rule() + "\nBegin search device...\n";
}

std::string DeviceInfoScreen(const std::vector<std::string>& rows, const std::string& banner) {
    return banner + "\n" + Rule() + "\n" + kDeviceInfoTitle + Rule() + "\n\n\n" +
           "Communication port : " + rows[0] + "\n" + "    Connect status : " + rows[1] + "\n" +
           "   Current version : " + rows[2] + "\n" + "    Target version : " + rows[3] + "\n" +
           "              IMEI : " + rows[4] + "\n" + "     Download Mode : " + rows[5] + "\n" +
           Rule() + "\n";
}

std::string DownloadReadyScreen() {
    return Rule() + "\n         Downloading programs\n" + Rule() + "\n\n\n" +
           "Backup User's Data Start,Please Wait...\n" + std::string(100, '.') + "0%\n";
}

std::string ResumeScreen(const std::string& text, unsigned percent) {
    return "\n\n" + Rule() + "\n         Downloading programs\n" + Rule() + "\n\n\n" + text + "\n" +
           Bar(percent) + std::to_string(percent) + "%\n";
}

std::string SearchFailedScreen(const std::string& text) {
    return ResultHead(Banner()) + Rule() + "\n\n\n" + "                " + text + "\n" + Rule() +
           "\n" + "\nEnter/Space:Quit the program !!\n\n";
}

std::string FailureScreen(const std::string& banner, const std::string& text,
                          const std::string& version, const std::string& imei) {
    return ResultHead(banner) + Rule() + "\n\n\n" + "                " + text + "\n" +
           "Current Version : " + version + "\n" + "           IMEI : " + imei + "\n" + Rule() +
           "\n";
}

std::string MessageBoxScreen(const std::string& banner, const std::string& text) {
    return ResultHead(banner) + Rule() + "\n\n\n" + "  " + text + "\n" + Rule() + "\n" +
           "\nEnter/Space:Quit the program!\n\n";
}

std::string SuccessScreens(const std::string& banner, const std::string& resultPathLine,
                           const std::string& version, const std::string& imei) {
    return banner + Rule() + "\n         Downloading programs\n" + Rule() + "\n\n\n" +
           "Downloading programs successfully!\n" + Bar(100) + "100%\n" + resultPathLine +
           ResultHead(banner) + Rule() + "\n" + "             Update succeed!\n" +
           "Current Version : " + version + "\n" + "           IMEI : " + imei + "\n" + Rule() +
           "\n";
}

SearchOutput ParseSearch(const std::string& out) {
    SearchOutput parsed;
    const std::string header = SearchHeader();
    size_t at = out.find(header);
    if (at == std::string::npos)
        return parsed;
    parsed.headerFound = true;
    if (out.find(header, at + 1) != std::string::npos)
        parsed.problem = "the search header is printed more than once";
    at += header.size();
    for (;;) {
        const std::string frame = std::string("\r") + kSearchFrames[parsed.frames % 3] + "\r";
        if (out.compare(at, frame.size(), frame) != 0)
            break;
        at += frame.size();
        ++parsed.frames;
    }
    parsed.rest = out.substr(at);
    if (parsed.problem.empty() && Has(parsed.rest, std::string("\r") + kSearchFrames[0]))
        parsed.problem = "a frame out of cycle order or mixed with other output";
    return parsed;
}

std::string BannerBeforeDeviceInfo(const std::string& rest) {
    size_t at = rest.find("\n" + Rule() + "\n" + kDeviceInfoTitle);
    return at == std::string::npos ? std::string() : rest.substr(0, at);
}

std::string ProgressLine(const std::string& caption, const std::vector<unsigned>& percents) {
    const std::string backspaces(104, '\b');
    std::string line = caption + "\n";
    char shown[8];
    for (unsigned percent : percents) {
        std::snprintf(shown, sizeof shown, "%02u%%", percent);
        line += backspaces + Bar(percent) + shown + backspaces;
    }
    return line;
}

// ---- Frames the device received --------------------------------------------

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char cell[4];
    for (uint8_t b : bytes) {
        std::snprintf(cell, sizeof cell, "%02X", b);
        if (!text.empty())
            text += ' ';
        text += cell;
    }
    return text;
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<std::string> Requests(const std::vector<modemsim::TraceEntry>& trace,
                                  const std::string& node, std::string* elsewhere, bool blockHeads,
                                  size_t from) {
    std::vector<std::string> requests;
    std::vector<uint8_t> raw;
    auto flushRaw = [&]() {
        if (!raw.empty())
            requests.push_back("raw " + Hex(raw));
        raw.clear();
    };
    for (size_t i = from; i < trace.size(); ++i) {
        const modemsim::TraceEntry& entry = trace[i];
        if (!entry.received)
            continue;
        if (entry.node != node) {
            if (elsewhere != nullptr && elsewhere->empty())
                *elsewhere = entry.Line();
            continue;
        }
        if (entry.kind == "raw") {
            raw.insert(raw.end(), entry.bytes.begin(), entry.bytes.end());
            continue;
        }
        flushRaw();
        std::vector<uint8_t> bytes = entry.bytes;
        if (blockHeads && entry.mode == modemsim::Mode::kDownload && bytes.size() > 7 &&
            bytes[0] == 0x42)
            bytes.resize(7);
        requests.push_back(entry.kind + " " + Hex(bytes));
    }
    flushRaw();
    return requests;
}

}  // namespace e2e
