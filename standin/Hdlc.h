// The stand-in's own frame codec: CRC-16/X-25, byte stuffing and a device-side
// deframer. It is written apart from the program's adapter on purpose, so that
// the stand-in checks the program's bytes instead of agreeing with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace modemsim {

using Bytes = std::vector<uint8_t>;

// CRC-16/X-25: reflected 0x1021 (0x8408), initial 0xFFFF, complemented.
uint16_t Crc16X25(const uint8_t* data, size_t length);

// The residue of a payload followed by its CRC, low byte first.
constexpr uint16_t kCrcResidue = 0x0F47;

// Payload, CRC (low byte first), stuffing of 0x7E and 0x7D, closing 0x7E;
// an opening 0x7E when asked. corruptCrc flips the CRC so the frame is refused.
Bytes EncodeFrame(const Bytes& payload, bool openingFlag, bool corruptCrc = false);

// Appends bytes as a frame's body carries them: 0x7E and 0x7D stuffed.
void AppendStuffed(Bytes* out, const Bytes& bytes);

// What the deframer found on the line.
struct RxEvent {
    enum Kind { kFrame, kRaw, kBadCrc };
    Kind kind = kFrame;
    bool openingFlag = false;  // a 0x7E came right before the first byte
    Bytes bytes;               // payload without CRC; raw bytes; or the refused body
};

// Cuts a byte stream into frames. Frames may or may not start with 0x7E;
// AT command lines ("AT...\n") and other junk between frames are reported as
// raw bytes and never cost the frame that follows them; frames whose CRC is
// wrong are reported and dropped.
class Deframer {
public:
    static constexpr size_t kMaxBody = 70000;
    static constexpr size_t kMaxLine = 512;
    static constexpr size_t kMaxJunkPrefix = 64;

    void Feed(const uint8_t* data, size_t length, std::vector<RxEvent>* out);
    void Reset();

private:
    void EndBody(std::vector<RxEvent>* out);
    void Restart(bool flag);

    Bytes body_;
    bool flag_ = false;
    bool escape_ = false;
    bool line_ = false;
};

}  // namespace modemsim
