// bench_responder: the fastest device a link can have. It opens a
// pseudo-terminal in raw mode, prints the path of its terminal node, and
// answers every frame it receives (whatever its content) with the framed
// acknowledgement 0x02, until it is ended by a signal.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "BenchLink.h"

int main() {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0 || !bench::MakeRaw(slave)) {
        std::perror("bench_responder: openpty");
        return 1;
    }
    std::vector<uint8_t> ack;
    const uint8_t payload = 0x02;
    bench::AppendFrame(&payload, 1, &ack);
    std::printf("%s\n", name);
    std::fflush(stdout);

    // The terminal stays open on this side too, so the writer may close and
    // reopen its node.
    uint8_t buffer[65536];
    size_t bodyBytes = 0;
    for (;;) {
        pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, -1) < 0)
            continue;
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return 1;
        if (n <= 0)
            continue;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != 0x7E) {
                ++bodyBytes;
                continue;
            }
            if (bodyBytes > 0 && !bench::WriteAll(master, ack.data(), ack.size()))
                return 1;
            bodyBytes = 0;
        }
    }
}
