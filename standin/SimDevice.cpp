// The device's answers in normal (diagnostic) mode and in download mode.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "SimImpl.h"

namespace modemsim {

namespace {

constexpr uint16_t kImeiItem = 550;
constexpr size_t kNvPacketSize = 133;
constexpr size_t kStatusReplySize = 68;  // replies to 0x4B are longer than 62 bytes
constexpr size_t kBoardClassField = 20;
constexpr uint16_t kRefusedStatus = 5;

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint32_t Le32(const uint8_t* p) {
    return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}
uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint8_t TypeFlag(uint32_t type) {
    return (type == 0x00080000 || type == 0x00090000 || type == 0x000B0000 || type == 0x000F0000 ||
            type == 0x00100000)
               ? 1
               : 0;
}

void PutText(Bytes* out, size_t offset, const std::string& text, size_t field) {
    for (size_t i = 0; i < text.size() && i < field && offset + i < out->size(); ++i) {
        (*out)[offset + i] = static_cast<uint8_t>(text[i]);
    }
}

// A count fault: 0 off, N the first N times, Faults::kAlways every time.
bool CountHits(int limit, int used) {
    return limit == Faults::kAlways || used < limit;
}

bool AckHits(const AckFault& f, AckFault::Target target, uint32_t block, int* fired) {
    if (f.target != target || (target == AckFault::kBlock && f.block != block)) {
        return false;
    }
    if (!f.always && *fired >= f.times) {
        return false;
    }
    ++*fired;
    return true;
}

std::string Hex32(uint32_t v) {
    char t[16];
    std::snprintf(t, sizeof t, "0x%08X", v);
    return t;
}

}  // namespace

void ModemSim::Impl::Violation(const std::string& text) {
    violations.push_back(text);
    cv.notify_all();
}

void ModemSim::Impl::Send(SimPort& p, const Bytes& payload, bool corrupt, bool opening) {
    // A hostile line: noise that a flag ends goes before the reply.
    if (o.faults.lineNoise) {
        Bytes noise;
        for (int i = 0; i < 17; ++i) {
            noiseSeed = noiseSeed * 1103515245u + 12345u;
            noise.push_back(static_cast<uint8_t>(noiseSeed >> 16));
        }
        noise.push_back(0x7E);
        Record(&p, false, "noise", noise);
        p.out.insert(p.out.end(), noise.begin(), noise.end());
    }
    Record(&p, false, corrupt ? "badcrc" : (opening ? "flag" : "noflag"), payload);
    c.framesOut++;
    Bytes wire = EncodeFrame(payload, opening, corrupt);
    p.out.insert(p.out.end(), wire.begin(), wire.end());
    // Frames nobody asked for (a status report the program never awaits)
    // follow the reply.
    for (int i = 0; i < o.faults.unsolicitedFrames; ++i) {
        const Bytes stray = {0x7B, 0x01, static_cast<uint8_t>(i), 0x00};
        Record(&p, false, "unsolicited", stray);
        Bytes strayWire = EncodeFrame(stray, true);
        p.out.insert(p.out.end(), strayWire.begin(), strayWire.end());
    }
    Flush(p);
    cv.notify_all();
}

void ModemSim::Impl::Reply(SimPort& p, Bytes payload) {
    bool corrupt = false;
    if (!payload.empty() && o.faults.badCrcCommand == payload[0] &&
        CountHits(o.faults.badCrcCount, badCrcUsed)) {
        badCrcUsed++;
        corrupt = true;
    }
    // The boot loader frames its replies with an opening flag; the diagnostic
    // side leaves it out. The program accepts both.
    const bool opening = mode == Mode::kDownload;
    if (o.faults.replyDelayMs == 0) {
        Send(p, payload, corrupt, opening);
        return;
    }
    SimTimer t;
    t.kind = SimTimer::kSend;
    t.portId = p.id;
    t.payload = std::move(payload);
    t.corrupt = corrupt;
    t.opening = opening;
    timers.emplace(Clock::now() + std::chrono::milliseconds(Scaled(o.faults.replyDelayMs)),
                   std::move(t));
}

void ModemSim::Impl::Acknowledge(SimPort& p, bool padded) {
    Bytes ack = {0x02};
    if (padded && o.faults.paddedAckLength > 1) {
        // Filler that needs no escape, so the frame on the wire is as long as
        // its payload and the padding costs the line no more than it must.
        ack.resize(o.faults.paddedAckLength);
        for (size_t i = 1; i < ack.size(); ++i)
            ack[i] = static_cast<uint8_t>(0x20 + i % 0x50);
    }
    Reply(p, std::move(ack));
}

// The device dies while it sends an acknowledgement: the first half of the
// frame reaches the line, its closing flag never does, then the terminals
// hang up.
void ModemSim::Impl::HangUpMidFrame(SimPort& p) {
    const Bytes wire = EncodeFrame(Bytes{0x02}, true);
    const Bytes half(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(wire.size() / 2));
    Record(&p, false, "cut", half);
    p.out.insert(p.out.end(), half.begin(), half.end());
    Flush(p);
    c.hangUps++;
    ScheduleReboot(o.faults.returnAfterHangUp ? Mode::kDownload : Mode::kAbsent);
}

void ModemSim::Impl::ScheduleReboot(Mode next) {
    rebooting = true;
    SimTimer t;
    t.kind = SimTimer::kVanish;
    t.next = next;
    const auto now = Clock::now();
    t.firstTry = now;
    const unsigned delay = Scaled(o.faults.replyDelayMs) + Scaled(o.vanishDelayMs);
    timers.emplace(now + std::chrono::milliseconds(delay), std::move(t));
}

void ModemSim::Impl::OnEvent(SimPort& p, const RxEvent& ev) {
    if (ev.kind == RxEvent::kRaw) {
        Record(&p, true, "raw", ev.bytes);
        if (ev.bytes.size() >= 2 && (ev.bytes[0] == 'A' || ev.bytes[0] == 'a')) {
            c.atLines++;
        }
        cv.notify_all();
        return;
    }
    if (ev.kind == RxEvent::kBadCrc) {
        Record(&p, true, "badcrc", ev.bytes);
        c.badFramesIn++;
        cv.notify_all();
        return;
    }
    Record(&p, true, ev.openingFlag ? "flag" : "noflag", ev.bytes);
    c.framesIn++;
    if (!PowerControlIsOn())
        c.framesNotPowerOn++;
    cv.notify_all();
    // The modem port carries no diagnostic protocol; a rebooting device is deaf.
    if (p.role == "modem" || rebooting || ev.bytes.empty()) {
        return;
    }
    if (replaying) {
        ReplayRequest(p, ev.bytes);
        return;
    }
    if (mode == Mode::kNormal) {
        HandleNormal(p, ev.bytes);
    } else if (mode == Mode::kDownload) {
        HandleDownload(p, ev.bytes);
    }
}

namespace {

Bytes BadCommand(const Bytes& req) {
    // Unknown command: 0x13 followed by the start of the request.
    const size_t echoed = std::min<size_t>(req.size(), 16);
    Bytes r(1 + echoed, 0x13);
    std::copy(req.begin(), req.begin() + static_cast<std::ptrdiff_t>(echoed), r.begin() + 1);
    return r;
}

}  // namespace

void ModemSim::Impl::HandleNormal(SimPort& p, const Bytes& req) {
    const size_t n = req.size();
    switch (req[0]) {
        case 0x26: {  // NV item read
            if (n < 3) {
                Reply(p, BadCommand(req));
                return;
            }
            c.nvReads++;
            Bytes r(kNvPacketSize, 0);
            r[0] = 0x26;
            r[1] = req[1];
            r[2] = req[2];
            const uint16_t item = static_cast<uint16_t>(req[1] | (req[2] << 8));
            if (item == kImeiItem) {
                const std::string& d = o.imei;
                r[3] = static_cast<uint8_t>(o.faults.imeiLengthByte);
                r[4] = static_cast<uint8_t>(((d[0] - '0') << 4) | 0x0A);
                for (int k = 2; k <= 8; ++k) {
                    r[3 + k] =
                        static_cast<uint8_t>((d[2 * k - 3] - '0') | ((d[2 * k - 2] - '0') << 4));
                }
            }
            Reply(p, std::move(r));
            return;
        }
        case 0x4B: {
            if (n >= 3 && req[1] == 0xC9 && req[2] == 0x03) {  // firmware version
                Bytes r(kStatusReplySize, 0);
                r[0] = 0x4B, r[1] = 0xC9, r[2] = 0x03;
                PutText(&r, 4, installed, 31);
                Reply(p, std::move(r));
            } else if (n >= 3 && req[1] == 0xC9 && req[2] == 0x24) {  // dashboard version
                Bytes r(kNvPacketSize, 0);
                r[0] = 0x4B, r[1] = 0xC9, r[2] = 0x24;
                PutText(&r, 5, o.dashboardVersion + "\r\n", 128);
                Reply(p, std::move(r));
            } else if (n >= 3 && req[1] == 0xC9 && req[2] == 0x21) {  // restore status
                const int q = c.restoreQueries++;
                int status;
                if (CountHits(o.faults.restoreBusy, q)) {
                    status = 2;
                } else {
                    const size_t i = static_cast<size_t>(q - o.faults.restoreBusy);
                    status = o.restoreStatus[std::min(i, o.restoreStatus.size() - 1)];
                }
                Bytes r(kStatusReplySize, 0);
                r[0] = 0x4B, r[1] = 0xC9, r[2] = 0x21;
                r[4 + 1] = c.backups > 0 ? 1 : 0;
                r[4 + 2] = static_cast<uint8_t>(status);
                Reply(p, std::move(r));
            } else if (n >= 4 && req[1] == 0x0B && req[2] == 0x01 && req[3] == 0x00) {
                c.adjustments++;  // adjustment step: echoed
                Bytes r(req);
                if (r.size() < kStatusReplySize)
                    r.resize(kStatusReplySize, 0);
                Reply(p, std::move(r));
            } else {
                Reply(p, BadCommand(req));
            }
            return;
        }
        case 0x45: {  // board class
            Bytes r(1 + kBoardClassField, 0);
            r[0] = o.faults.boardClassNak ? 0x03 : 0x45;
            const std::string field = o.faults.boardClassField.empty() ? "KORVEL " + o.boardType
                                                                       : o.faults.boardClassField;
            PutText(&r, 1, field, kBoardClassField);
            Reply(p, std::move(r));
            return;
        }
        case 0x0C:  // not in download mode: no answer
            return;
        case 0x3A:  // to download mode: answer, then reboot into the boot loader
            c.downloadSwitches++;
            Reply(p, Bytes{0x3A});
            ScheduleReboot(Mode::kDownload);
            return;
        case 0x29: {
            const int m = n >= 3 ? (req[1] | (req[2] << 8)) : (n >= 2 ? req[1] : 0);
            if (m == 1 || m == 3 || m == 4) {
                c.lastControlMode = m;
                Reply(p, Bytes{0x29, static_cast<uint8_t>(m), 0x00});
            } else if (m == 2) {
                c.lastControlMode = m;
                c.controlResets++;
                ScheduleReboot(Mode::kNormal);
            } else {
                Reply(p, BadCommand(req));
            }
            return;
        }
        case 0xFA: {
            if (n < 2 || (req[1] != 0x13 && req[1] != 0x14 && req[1] != 0x15)) {
                Reply(p, BadCommand(req));
                return;
            }
            uint16_t status = 0;
            if (req[1] == 0x13) {
                if (CountHits(o.faults.refuseBackup, c.backupRefusals)) {
                    c.backupRefusals++;
                    status = kRefusedStatus;
                } else {
                    c.backups++;
                }
            } else if (CountHits(o.faults.refuseRestore, c.restoreRefusals)) {
                c.restoreRefusals++;
                status = kRefusedStatus;
            } else {
                c.restoreOrders++;
                c.lastRestoreOrder = req[1];
            }
            Reply(p, Bytes{0xFA, req[1], static_cast<uint8_t>(status & 0xFF),
                           static_cast<uint8_t>(status >> 8)});
            return;
        }
        default:
            Reply(p, BadCommand(req));
            return;
    }
}

void ModemSim::Impl::HandleDownload(SimPort& p, const Bytes& req) {
    const size_t n = req.size();
    const uint8_t cmd = req[0];
    auto nak = [&](const std::string& why) {
        if (!why.empty())
            Violation(why);
        c.naks++;
        Reply(p, Bytes{0x03, cmd});
    };
    // The acknowledgement of 0x41, 0x42, 0x43 and 0x0A, subject to the faults.
    // Returns false when the device refuses the packet (0x03 sent).
    auto ack = [&](AckFault::Target target, uint32_t block) {
        if (AckHits(o.faults.nakAck, target, block, &nakFired)) {
            nak("");
            return false;
        }
        if (AckHits(o.faults.hangUp, target, block, &hangUpFired)) {
            HangUpMidFrame(p);
            return false;
        }
        if (AckHits(o.faults.dropAck, target, block, &dropFired)) {
            c.droppedAcks++;
            return true;
        }
        Acknowledge(p, AckHits(o.faults.paddedAck, target, block, &padFired));
        return true;
    };
    switch (cmd) {
        case 0x0C:
            Reply(p, Bytes{0x0D});
            return;
        case 0x3A:
            Reply(p, Bytes{0x3A});
            return;
        case 0x45:
            HandleNormal(p, req);  // the same board class answer
            return;
        case 0x46: {
            Bytes r(2 + 32, 0);
            r[0] = 0x46;
            PutText(&r, 2, installed, 25);
            Reply(p, std::move(r));
            return;
        }
        case 0x41: {  // erase
            if (n != 12) {
                nak("erase packet of " + std::to_string(n) + " bytes");
                return;
            }
            const uint32_t type = Be32(&req[1]);
            if (req[10] != TypeFlag(type)) {
                Violation("erase of type " + Hex32(type) + " with type flag " +
                          std::to_string(req[10]));
            }
            if (!ack(AckFault::kErase, 0))
                return;
            c.erases++;
            int index = -1;
            for (size_t i = 0; i < units.size(); ++i) {
                if (units[i].type == type)
                    index = static_cast<int>(i);
            }
            if (index < 0) {
                units.push_back(UnitCapture{});
                index = static_cast<int>(units.size()) - 1;
            }
            UnitCapture& u = units[static_cast<size_t>(index)];
            u = UnitCapture{};
            u.type = type;
            u.erasedLength = Be32(&req[5]);
            current = index;
            return;
        }
        case 0x42: {  // data block
            if (n < 7 || Be16(&req[5]) + 7u != n) {
                nak("data block packet of " + std::to_string(n) + " bytes with length field " +
                    (n >= 7 ? std::to_string(Be16(&req[5])) : std::string("missing")));
                return;
            }
            const uint32_t number = Be32(&req[1]);
            if (current < 0) {
                nak("data block " + std::to_string(number) + " without an erased unit");
                return;
            }
            UnitCapture& u = units[static_cast<size_t>(current)];
            if (number == 0 || number > u.blocks.size() + 1) {
                nak("data block " + std::to_string(number) + " after block " +
                    std::to_string(u.blocks.size()));
                return;
            }
            if (!ack(AckFault::kBlock, number))
                return;
            Bytes data(req.begin() + 7, req.end());
            if (number == u.blocks.size() + 1) {
                u.blocks.push_back(std::move(data));
            } else {
                u.blocks[number - 1] = std::move(data);
                c.blockResends++;
            }
            c.blocks++;
            return;
        }
        case 0x43: {  // end of image
            if (n != 23) {
                nak("end packet of " + std::to_string(n) + " bytes");
                return;
            }
            const uint32_t length = Be32(&req[1]);
            const uint32_t type = Le32(&req[7]);
            if (current < 0 || units[static_cast<size_t>(current)].type != type) {
                nak("end of image for a unit that is not being written");
                return;
            }
            UnitCapture& u = units[static_cast<size_t>(current)];
            const size_t written = u.Size();
            if (length != u.erasedLength || written != length) {
                Violation("end of image: length " + std::to_string(length) + ", erased " +
                          std::to_string(u.erasedLength) + ", written " + std::to_string(written));
            }
            if (req[6] != TypeFlag(type) || Be32(&req[11]) || Be32(&req[15]) || Be32(&req[19])) {
                Violation("end of image: unexpected type flag or tag values");
            }
            if (!ack(AckFault::kEnd, 0))
                return;
            u.ended = true;
            c.ends++;
            endedThisSession = true;
            current = -1;
            return;
        }
        case 0x0A: {  // reset
            if (!ack(AckFault::kReset, 0))
                return;
            c.downloadResets++;
            if (endedThisSession && !o.faults.keepVersion) {
                installed = o.versionAfter;
            }
            ScheduleReboot(o.faults.noReturn ? Mode::kAbsent : Mode::kNormal);
            return;
        }
        default:
            nak("");  // the boot loader knows no other command
            return;
    }
}

}  // namespace modemsim
