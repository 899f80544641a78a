#include "Replay.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "SimImpl.h"

namespace modemsim {

namespace {

bool ParseHex(const std::string& text, Bytes* out) {
    if (text.size() % 2 != 0)
        return false;
    out->clear();
    out->reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(text.c_str() + i, "%2x", &value) != 1)
            return false;
        out->push_back(static_cast<uint8_t>(value));
    }
    return true;
}

// Half of a recorded time, in milliseconds; 0 for none.
int HalfMs(double seconds) {
    return seconds > 0 ? static_cast<int>(seconds * 500) : 0;
}

std::string HexText(const Bytes& bytes) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, "%s%02X", i ? " " : "", bytes[i]);
        text += pair;
    }
    return text;
}

int RowOfProduct(const std::string& product) {
    for (int row = 1; row <= 38; ++row) {
        if (ProductIdOfRow(row) == product)
            return row;
    }
    return 0;
}

// A walk that found the device: a new enumeration when its nodes differ from
// the last one's.
bool AddWalk(const nlohmann::json& line, Recording* r, std::string* error) {
    if (!line.value("found", false))
        return true;
    ReplayEnumeration e;
    std::string product;
    for (const auto& entry : line.at("entries")) {
        if (!entry.value("ours", false) || entry.value("node", std::string()).empty())
            continue;
        e.nodes.push_back(entry.at("node").get<std::string>());
        e.ifaceOfNode[e.nodes.back()] = entry.value("if", std::string());
        product = entry.value("product", std::string());
    }
    std::sort(e.nodes.begin(), e.nodes.end());
    if (e.nodes.empty() || (!r->enumerations.empty() && r->enumerations.back().nodes == e.nodes))
        return true;
    e.productRow = RowOfProduct(product);
    if (e.productRow == 0) {
        *error = "product " + product + " is not in the stand-in's table";
        return false;
    }
    // The stand-in numbers an appearance's nodes upwards from its first.
    e.firstNode = -1;
    for (const std::string& node : e.nodes) {
        const int number = node.compare(0, 6, "ttyUSB") == 0 && node.size() > 6 &&
                                   node.find_first_not_of("0123456789", 6) == std::string::npos
                               ? std::atoi(node.c_str() + 6)
                               : -1;
        if (number < 0) {
            *error = "node " + node + " is no ttyUSB<n>";
            return false;
        }
        if (e.firstNode < 0 || number < e.firstNode)
            e.firstNode = number;
    }
    e.foundAt = line.at("t").get<double>();
    r->enumerations.push_back(e);
    return true;
}

bool AddFrame(const nlohmann::json& line, Recording* r) {
    Bytes bytes;
    if (!ParseHex(line.at("hex").get<std::string>(), &bytes))
        return false;
    if (line.at("dir") == "tx") {
        ReplayStep step;
        step.request = bytes;
        step.port = line.at("port").get<std::string>();
        step.seconds = line.at("t").get<double>();
        step.enumeration = r->enumerations.empty() ? 0 : int(r->enumerations.size()) - 1;
        if (!r->enumerations.empty()) {
            ReplayEnumeration& e = r->enumerations.back();
            if (line.at("mode") == "download")
                e.download = true;
            const auto iface = e.ifaceOfNode.find(step.port);
            if (iface != e.ifaceOfNode.end())
                step.iface = iface->second;
        }
        r->steps.push_back(step);
        return true;
    }
    if (r->steps.empty())
        return true;  // nothing asked yet: nothing to answer
    ReplayReply reply;
    reply.kind = line.at("crc_ok").get<bool>() ? ReplayReply::kFrame : ReplayReply::kBadCrc;
    reply.bytes = bytes;
    reply.flag = line.at("flag").get<bool>();
    r->steps.back().replies.push_back(reply);
    return true;
}

bool AddDropped(const nlohmann::json& line, Recording* r) {
    if (r->steps.empty())
        return true;
    ReplayReply reply;
    reply.kind = ReplayReply::kBytes;
    if (!ParseHex(line.at("hex").get<std::string>(), &reply.bytes))
        return false;
    const std::string reason = line.at("reason").get<std::string>();
    const size_t length = line.value("length", reply.bytes.size());
    if (reason == "overlong")
        reply.bytes.resize(std::min<size_t>(length, 1u << 20), 0x20);
    reply.closing = reason != "cut";
    r->steps.back().replies.push_back(reply);
    return true;
}

}  // namespace

bool LoadRecording(const std::string& path, Recording* recording, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read the recording " + path;
        return false;
    }
    Recording r;
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        if (text.empty())
            continue;
        bool ok = true;
        try {
            const nlohmann::json line = nlohmann::json::parse(text);
            const std::string ev = line.at("ev").get<std::string>();
            if (ev == "walk")
                ok = AddWalk(line, &r, error);
            else if (ev == "frame")
                ok = AddFrame(line, &r);
            else if (ev == "dropped")
                ok = AddDropped(line, &r);
        } catch (const nlohmann::json::exception& e) {
            *error = e.what();
            ok = false;
        }
        if (!ok) {
            *error = path + " line " + std::to_string(number) + ": " +
                     (error->empty() ? "bad hex" : *error);
            return false;
        }
    }
    if (r.enumerations.empty()) {
        *error = path + ": no walk found the device";
        return false;
    }
    *recording = std::move(r);
    return true;
}

namespace {

// At most this many bytes of each side go into a breach line, so that a
// breach in a 4 KiB block stays one short line.
constexpr size_t kBreachBytes = 32;

// Up to kBreachBytes of bytes from offset on, "..." when more follow.
std::string HexHead(const Bytes& bytes, size_t offset) {
    if (offset >= bytes.size())
        return "(nothing)";
    const size_t end = std::min(bytes.size(), offset + kBreachBytes);
    std::string text = HexText(Bytes(bytes.begin() + offset, bytes.begin() + end));
    return end < bytes.size() ? text + " ..." : text;
}

std::string CommandOf(const Bytes& request) {
    return request.empty() ? "--" : HexText(Bytes{request[0]});
}

}  // namespace

std::string ReplayBreach(size_t index, const Recording& recording, const Bytes& received,
                         const std::string& receivedIface) {
    const std::string number =
        "request " + std::to_string(index + 1) + " (command " + CommandOf(received) + ")";
    if (index >= recording.steps.size())
        return number + " is not in the recording (" + std::to_string(recording.steps.size()) +
               " requests): received " + HexHead(received, 0);
    const ReplayStep& step = recording.steps[index];
    if (step.request != received) {
        const auto differ = std::mismatch(step.request.begin(), step.request.end(),
                                          received.begin(), received.end());
        const size_t offset = static_cast<size_t>(differ.first - step.request.begin());
        return number + " differs at offset " + std::to_string(offset) + ": recorded " +
               HexHead(step.request, offset) + " (" + std::to_string(step.request.size()) +
               " bytes), received " + HexHead(received, offset) + " (" +
               std::to_string(received.size()) + " bytes)";
    }
    if (!step.iface.empty() && !receivedIface.empty() && step.iface != receivedIface)
        return number + " went to interface " + receivedIface + ", recorded on interface " +
               step.iface;
    return "";
}

}  // namespace modemsim

// ---------------------------------------------------------------------------
// The player (ModemSim::Impl, mu held).

namespace modemsim {

void ModemSim::Impl::SendReplayed(SimPort& p, const ReplayReply& reply) {
    if (reply.kind != ReplayReply::kBytes) {
        Send(p, reply.bytes, reply.kind == ReplayReply::kBadCrc, reply.flag);
        return;
    }
    // Bytes the program dropped, stuffed as a frame's body would be.
    Record(&p, false, reply.closing ? "noise" : "cut", reply.bytes);
    AppendStuffed(&p.out, reply.bytes);
    if (reply.closing)
        p.out.push_back(0x7E);
    Flush(p);
}

void ModemSim::Impl::ReplayRequest(SimPort& p, const Bytes& request) {
    const std::vector<ReplayStep>& steps = recording.steps;
    if (breaches.empty()) {
        std::string breach = ReplayBreach(replayNext, recording, request, p.iface);
        if (!breach.empty()) {
            breaches.push_back(std::move(breach));
            cv.notify_all();
        }
    }
    if (!breaches.empty()) {
        // Off the recording: every request is refused from now on, so the
        // program ends soon with its failure instead of waiting out every
        // time-out.
        Send(p, Bytes{0x03, request[0]}, false, mode == Mode::kDownload);
        return;
    }
    const ReplayStep& step = steps[replayNext++];
    for (const ReplayReply& reply : step.replies)
        SendReplayed(p, reply);
    // The last request recorded for this appearance ends it: the device
    // restarts now (after a mode switch or a reset, as recorded) and comes
    // back after half the recorded time from that request to the walk that
    // found it, so that the program's waits, longer on a loaded machine
    // than the recorded ones, still find it.
    const size_t next = replayNext < steps.size()
                            ? static_cast<size_t>(steps[replayNext].enumeration)
                            : recording.enumerations.size() - 1;
    if (next <= replayEnumeration)
        return;
    rebooting = true;
    const double gap = recording.enumerations[replayEnumeration + 1].foundAt - step.seconds;
    ReplayNextAppearance(Scaled(o.vanishDelayMs), HalfMs(gap));
}

// An appearance the program sent nothing to ends by time: it vanishes and
// the next one appears, each after a quarter of the recorded time between
// the walks that found them.
void ModemSim::Impl::ReplayAppeared() {
    const size_t shown = replayEnumeration;
    if (shown + 1 >= recording.enumerations.size())
        return;
    for (const ReplayStep& step : recording.steps) {
        if (static_cast<size_t>(step.enumeration) == shown)
            return;  // its last request ends it
    }
    const int quarter =
        HalfMs(recording.enumerations[shown + 1].foundAt - recording.enumerations[shown].foundAt) /
        2;
    ReplayNextAppearance(quarter, quarter);
}

void ModemSim::Impl::ReplayNextAppearance(int vanishMs, int appearMs) {
    const ReplayEnumeration& e = recording.enumerations[++replayEnumeration];
    SimTimer t;
    t.kind = SimTimer::kVanish;
    t.next = e.download ? Mode::kDownload : Mode::kNormal;
    t.appearMs = appearMs;
    t.firstTry = Clock::now() + std::chrono::milliseconds(vanishMs);
    timers.emplace(t.firstTry, std::move(t));
    cv.notify_all();
}

}  // namespace modemsim
