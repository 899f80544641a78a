// What the benchmark's own programs share: a terminal in raw mode, HDLC
// framing of one packet, whole writes that wait in poll(), and the clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Raw mode, 8 bits, no flow control, reads return after one byte.
bool MakeRaw(int fd);

// Appends the frame of payload to out: an opening flag, the payload and its
// CRC-16/X-25 (low byte first) with 0x7E and 0x7D escaped, a closing flag.
void AppendFrame(const uint8_t* payload, size_t length, std::vector<uint8_t>* out);

// Writes all of data to the non-blocking fd, waiting in poll() while the
// line is full. False on an error or a hang-up.
bool WriteAll(int fd, const uint8_t* data, size_t length);

// Collects the frames of a byte stream: Feed returns true when a frame with
// a good CRC has been completed; Payload() then holds it without the CRC.
class FrameReader {
public:
    bool Feed(uint8_t byte);
    const std::vector<uint8_t>& Payload() const { return payload_; }

private:
    std::vector<uint8_t> body_;
    std::vector<uint8_t> payload_;
    bool escape_ = false;
};

}  // namespace bench
