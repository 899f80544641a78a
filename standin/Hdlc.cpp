#include "Hdlc.h"

#include <cctype>

namespace modemsim {

namespace {

// The CRC register after shifting each byte value through it bit by bit.
struct CrcTable {
    uint16_t entry[256];
    CrcTable() : entry() {
        for (unsigned n = 0; n < 256; ++n) {
            uint16_t crc = static_cast<uint16_t>(n);
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408)
                                : static_cast<uint16_t>(crc >> 1);
            }
            entry[n] = crc;
        }
    }
};

}  // namespace

uint16_t Crc16X25(const uint8_t* data, size_t length) {
    static const CrcTable table;
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ table.entry[(crc ^ data[i]) & 0xFF]);
    return static_cast<uint16_t>(crc ^ 0xFFFF);
}

namespace {

void Stuff(Bytes* out, uint8_t b) {
    if (b == 0x7E || b == 0x7D) {
        out->push_back(0x7D);
        out->push_back(static_cast<uint8_t>(b ^ 0x20));
    } else {
        out->push_back(b);
    }
}

bool GoodBody(const uint8_t* body, size_t length) {
    return length > 2 && Crc16X25(body, length) == kCrcResidue;
}

}  // namespace

void AppendStuffed(Bytes* out, const Bytes& bytes) {
    for (uint8_t b : bytes)
        Stuff(out, b);
}

Bytes EncodeFrame(const Bytes& payload, bool openingFlag, bool corruptCrc) {
    Bytes out;
    out.reserve(payload.size() + payload.size() / 8 + 6);
    if (openingFlag) {
        out.push_back(0x7E);
    }
    AppendStuffed(&out, payload);
    uint16_t crc = Crc16X25(payload.data(), payload.size());
    if (corruptCrc) {
        crc ^= 0x5A5A;
    }
    Stuff(&out, static_cast<uint8_t>(crc & 0xFF));
    Stuff(&out, static_cast<uint8_t>(crc >> 8));
    out.push_back(0x7E);
    return out;
}

void Deframer::Reset() {
    Restart(false);
}

void Deframer::Restart(bool flag) {
    body_.clear();
    flag_ = flag;
    escape_ = false;
    line_ = false;
}

void Deframer::EndBody(std::vector<RxEvent>* out) {
    const size_t n = body_.size();
    if (GoodBody(body_.data(), n)) {
        out->push_back({RxEvent::kFrame, flag_, Bytes(body_.begin(), body_.end() - 2)});
        Restart(false);
        return;
    }
    // A frame without an opening flag may follow junk directly: look for a
    // short junk prefix after which the rest is a good frame.
    for (size_t i = 1; i <= kMaxJunkPrefix && i + 2 < n; ++i) {
        if (GoodBody(body_.data() + i, n - i)) {
            out->push_back({RxEvent::kRaw, flag_, Bytes(body_.begin(), body_.begin() + i)});
            out->push_back({RxEvent::kFrame, false, Bytes(body_.begin() + i, body_.end() - 2)});
            Restart(false);
            return;
        }
    }
    out->push_back({RxEvent::kBadCrc, flag_, body_});
    // The 0x7E that ended the junk also stands right before the next frame.
    Restart(true);
}

void Deframer::Feed(const uint8_t* data, size_t length, std::vector<RxEvent>* out) {
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = data[i];
        if (line_) {
            if (b == 0x7E) {
                out->push_back({RxEvent::kRaw, false, body_});
                Restart(true);
                continue;
            }
            body_.push_back(b);
            if (b == '\n' || body_.size() >= kMaxLine) {
                out->push_back({RxEvent::kRaw, false, body_});
                Restart(false);
            }
            continue;
        }
        if (b == 0x7E) {
            if (body_.empty() && !escape_) {
                flag_ = true;  // opening flag, or one of several flags in a row
            } else {
                EndBody(out);
            }
            continue;
        }
        if (escape_) {
            body_.push_back(static_cast<uint8_t>(b ^ 0x20));
            escape_ = false;
        } else if (b == 0x7D) {
            escape_ = true;
        } else {
            body_.push_back(b);
            if (!flag_ && body_.size() == 2 && std::toupper(body_[0]) == 'A' &&
                std::toupper(body_[1]) == 'T') {
                line_ = true;
            }
        }
        if (body_.size() > kMaxBody) {
            out->push_back({RxEvent::kBadCrc, flag_, body_});
            Restart(false);
        }
    }
}

}  // namespace modemsim
