#include "BenchLink.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "Crc16.h"

namespace bench {

namespace {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
constexpr size_t kMaxBody = 70000;

void Stuff(uint8_t byte, std::vector<uint8_t>* out) {
    if (byte == kFlag || byte == kEscape) {
        out->push_back(kEscape);
        out->push_back(static_cast<uint8_t>(byte ^ 0x20));
    } else {
        out->push_back(byte);
    }
}

}  // namespace

bool MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

void AppendFrame(const uint8_t* payload, size_t length, std::vector<uint8_t>* out) {
    WORD crc = 0;
    CalculateCRC(payload, static_cast<DWORD>(length), crc);
    out->push_back(kFlag);
    for (size_t i = 0; i < length; ++i)
        Stuff(payload[i], out);
    Stuff(static_cast<uint8_t>(crc & 0xFF), out);
    Stuff(static_cast<uint8_t>(crc >> 8), out);
    out->push_back(kFlag);
}

bool WriteAll(int fd, const uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd room = {fd, POLLOUT, 0};
        if (poll(&room, 1, 10000) <= 0 || (room.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return false;
    }
    return true;
}

bool FrameReader::Feed(uint8_t byte) {
    if (byte == kFlag) {
        const bool good = body_.size() > 2 && [this] {
            WORD residue = 0;
            CalculateCRC(body_.data(), static_cast<DWORD>(body_.size()), residue);
            return residue == kCrcGoodResidue;
        }();
        if (good)
            payload_.assign(body_.begin(), body_.end() - 2);
        body_.clear();
        escape_ = false;
        return good;
    }
    if (escape_) {
        body_.push_back(static_cast<uint8_t>(byte ^ 0x20));
        escape_ = false;
    } else if (byte == kEscape) {
        escape_ = true;
    } else {
        body_.push_back(byte);
    }
    if (body_.size() > kMaxBody)
        body_.clear();  // no flag for too long: line noise, start over
    return false;
}

}  // namespace bench
