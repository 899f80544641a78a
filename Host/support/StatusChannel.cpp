#include "StatusChannel.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

const char kStatusFdVariable[] = "FLASHPILOT_STATUS_FD";

namespace {

std::atomic<int> g_fd{-1};

}  // namespace

void OpenStatusChannel() {
    const char* text = std::getenv(kStatusFdVariable);
    if (text == nullptr)
        return;
    char* end = nullptr;
    errno = 0;
    const long fd = std::strtol(text, &end, 10);
    const bool valid = errno == 0 && end != text && *end == '\0' && fd > 2 && fd < 65536 &&
                       fcntl(static_cast<int>(fd), F_GETFD) != -1;
    unsetenv(kStatusFdVariable);
    if (!valid)
        return;
    // Not passed on to what the run executes; a full pipe drops a line
    // rather than holding the update.
    fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    fcntl(static_cast<int>(fd), F_SETFL, fcntl(static_cast<int>(fd), F_GETFL) | O_NONBLOCK);
    g_fd = static_cast<int>(fd);
}

void SendStatus(const std::string& line) {
    const int fd = g_fd;
    if (fd < 0)
        return;
    const std::string text = line + "\n";
    // One write of a short line to a pipe is atomic; a failure changes nothing.
    const ssize_t written = write(fd, text.data(), text.size());
    (void)written;
}
