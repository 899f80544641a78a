// bench_pump PORT PACKAGE: the shortest stop-and-wait writer of a package.
// Per unit it sends the erase packet, then every 4096-byte data block as one
// framed packet (the same bytes the program sends), waiting in poll() for the
// 0x02 of each before the next, then the end of image. Prints the data phase:
// the bytes of all blocks and the seconds from each unit's first block sent
// to its last block acknowledged, summed over the units.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "BenchLink.h"
#include "DownloadPackets.h"
#include "MAC_AppFileRead.h"

namespace {

constexpr int kAckWaitMs = 10000;

// The port and the bytes read from it but not yet taken.
class Port {
public:
    explicit Port(int fd) : fd_(fd) {}

    bool Send(const uint8_t* packet, size_t length) {
        frame_.clear();
        bench::AppendFrame(packet, length, &frame_);
        return bench::WriteAll(fd_, frame_.data(), frame_.size());
    }

    // Waits for the next good frame; true when it is the acknowledgement.
    bool AwaitAck() {
        for (;;) {
            while (pos_ < len_) {
                if (reader_.Feed(in_[pos_++]))
                    return !reader_.Payload().empty() && reader_.Payload()[0] == kDldAck;
            }
            pollfd ready = {fd_, POLLIN, 0};
            if (poll(&ready, 1, kAckWaitMs) <= 0)
                return false;
            const ssize_t n = read(fd_, in_, sizeof in_);
            if (n <= 0)
                return false;
            pos_ = 0;
            len_ = static_cast<size_t>(n);
        }
    }

private:
    int fd_;
    std::vector<uint8_t> frame_;
    bench::FrameReader reader_;
    uint8_t in_[4096];
    size_t pos_ = 0;
    size_t len_ = 0;
};

bool LoadUnit(CAppFileReader& reader, int index, std::vector<uint8_t>* data) {
    SAppFileUnitHeader header;
    reader.GetUnitHeader(index, header);
    data->assign(header.dwDataLen, 0);
    if (header.dwDataLen == 0)
        return true;
    if (!reader.MoveToUnitBegin(index))
        return false;
    size_t done = 0;
    while (done < data->size()) {
        const int got = reader.GetUnitData(index, data->data() + done, 1 << 20);
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_pump PORT PACKAGE\n");
        return 2;
    }
    CAppFileReader reader;
    if (!reader.SetAppFileName(argv[2])) {
        std::fprintf(stderr, "bench_pump: %s: %s %s\n", argv[2], reader.GetErrorText(),
                     reader.GetCheckDetail());
        return 1;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || !bench::MakeRaw(fd)) {
        std::fprintf(stderr, "bench_pump: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    Port port(fd);
    std::vector<uint8_t> data;
    std::vector<uint8_t> packet(kDldBlockHeaderLen + kDldBlockLen);
    unsigned long long bytes = 0;
    unsigned long blocks = 0;
    double seconds = 0;
    for (int unit = 0; unit < reader.GetUnitCount(); ++unit) {
        SAppFileUnitHeader header;
        reader.GetUnitHeader(unit, header);
        if (!LoadUnit(reader, unit, &data)) {
            std::fprintf(stderr, "bench_pump: unit %d cannot be read\n", unit);
            return 1;
        }
        const auto erase = ErasePacket(header.dwUnitType, header.dwDataLen, 0, 0);
        if (!port.Send(erase.data(), erase.size()) || !port.AwaitAck()) {
            std::fprintf(stderr, "bench_pump: erase of unit %d not acknowledged\n", unit);
            return 1;
        }
        const bench::Clock::time_point start = bench::Clock::now();
        DWORD number = 0;
        for (size_t offset = 0; offset < data.size(); offset += kDldBlockLen) {
            const size_t length = std::min<size_t>(kDldBlockLen, data.size() - offset);
            packet[0] = kDldBlock;
            ++number;
            packet[1] = static_cast<uint8_t>(number >> 24);
            packet[2] = static_cast<uint8_t>(number >> 16);
            packet[3] = static_cast<uint8_t>(number >> 8);
            packet[4] = static_cast<uint8_t>(number);
            packet[5] = static_cast<uint8_t>(length >> 8);
            packet[6] = static_cast<uint8_t>(length);
            std::memcpy(&packet[kDldBlockHeaderLen], data.data() + offset, length);
            if (!port.Send(packet.data(), kDldBlockHeaderLen + length) || !port.AwaitAck()) {
                std::fprintf(stderr, "bench_pump: block %u of unit %d not acknowledged\n", number,
                             unit);
                return 1;
            }
            bytes += length;
            ++blocks;
        }
        if (number > 0)
            seconds += bench::Seconds(bench::Clock::now() - start);
        const auto end = EndPacket(header.dwDataLen, {header.dwUnitType, 0, 0, 0}, 0);
        if (!port.Send(end.data(), end.size()) || !port.AwaitAck()) {
            std::fprintf(stderr, "bench_pump: end of unit %d not acknowledged\n", unit);
            return 1;
        }
    }
    close(fd);
    std::printf("%llu %lu %.6f\n", bytes, blocks, seconds);
    return 0;
}
