#include "ModemManagerInhibit.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Function.h"
#include "TestSeams.h"

namespace {

const char kService[] = "org.freedesktop.ModemManager1";
const char kManagerPath[] = "/org/freedesktop/ModemManager1";
const char kObjectManager[] = "org.freedesktop.DBus.ObjectManager";
// The end of every line that says the modem is left to ModemManager.
const char kWithout[] = "; the modem is not inhibited.\n";

// Bound of every wait on the bus (scaled by the time scale): a ModemManager
// that hangs costs the update this much per call, never more. Inhibiting
// makes ModemManager disable the modem first, which may take it seconds.
constexpr unsigned long kCallTimeoutMs = 10000;

uint64_t CallTimeoutUsec() {
    return static_cast<uint64_t>(ScaledMs(kCallTimeoutMs)) * 1000;
}

void LogFormatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogFormatted(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Log(text);
}

// "ttyUSB0, ttyUSB1, ttyUSB2" into out, cut at its size.
void JoinPorts(const char* const* ports, size_t count, char* out, size_t size) {
    size_t used = 0;
    out[0] = '\0';
    for (size_t i = 0; i < count && used + 1 < size; ++i) {
        if (ports[i] == nullptr || ports[i][0] == '\0')
            continue;
        const int n =
            std::snprintf(out + used, size - used, "%s%s", used > 0 ? ", " : "", ports[i]);
        if (n < 0)
            break;
        used += static_cast<size_t>(n) < size - used ? static_cast<size_t>(n) : size - used - 1;
    }
}

}  // namespace

ModemManagerInhibit::~ModemManagerInhibit() {
    Release();
}

bool ModemManagerInhibit::Take(const char* const* ports, size_t count) {
    std::lock_guard<std::mutex> hold(m_lock);
    char why[256];
    if (!m_lib.Load(why, sizeof why)) {
        LogFormatted("ModemManager: no bus library (%s)%s", why, kWithout);
        return false;
    }
    if (!Connect())
        return false;
    if (FindUid(ports, count) != ModemSearch::kFound) {
        Disconnect();
        return false;
    }
    char failure[512];
    if (!CallInhibit(true, failure, sizeof failure)) {
        LogFormatted("ModemManager did not inhibit device %s (%s)%s", m_uid, failure, kWithout);
        std::fprintf(stderr,
                     "Warning: ModemManager did not agree to leave the modem alone (%s); it may "
                     "disturb the update.\n",
                     failure);
        m_refused = true;
        Disconnect();
        return false;
    }
    m_held = true;
    LogFormatted("ModemManager inhibits device %s for the update.\n", m_uid);
    return true;
}

void ModemManagerInhibit::Release() {
    std::lock_guard<std::mutex> hold(m_lock);
    ReleaseHeld();
}

void ModemManagerInhibit::ReleaseUnlessBusy() {
    std::unique_lock<std::mutex> hold(m_lock, std::try_to_lock);
    if (hold.owns_lock())
        ReleaseHeld();
}

void ModemManagerInhibit::ReleaseHeld() {
    if (m_bus == nullptr)
        return;
    if (m_held) {
        char failure[512];
        if (CallInhibit(false, failure, sizeof failure))
            LogFormatted("ModemManager released device %s.\n", m_uid);
        else
            LogFormatted("ModemManager did not release device %s (%s).\n", m_uid, failure);
        m_held = false;
    }
    Disconnect();
}

bool ModemManagerInhibit::Connect() {
    const int r = m_lib.openSystem(&m_bus);
    if (r < 0) {
        m_bus = nullptr;
        LogFormatted("ModemManager: no system bus (%s)%s", std::strerror(-r), kWithout);
        return false;
    }
    if (!WaitUntilReady()) {
        LogFormatted("ModemManager: the system bus did not accept the connection%s", kWithout);
        Disconnect();
        return false;
    }
    return true;
}

// The connection's authentication and greeting, bounded by the call time-out
// (the library's own first call would wait for them without a bound).
bool ModemManagerInhibit::WaitUntilReady() {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::microseconds(CallTimeoutUsec());
    for (;;) {
        int r = m_lib.isReady(m_bus);
        if (r != 0)
            return r > 0;
        r = m_lib.process(m_bus, nullptr);
        if (r < 0)
            return false;
        if (r > 0)
            continue;
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0 || m_lib.wait(m_bus, static_cast<uint64_t>(left.count())) < 0)
            return false;
    }
}

ModemSearch ModemManagerInhibit::FindUid(const char* const* ports, size_t count) {
    sdbus::MessageRef call(m_lib), reply(m_lib);
    sdbus::ErrorRef error(m_lib);
    int r = m_lib.newMethodCall(m_bus, call.Out(), kService, kManagerPath, kObjectManager,
                                "GetManagedObjects");
    // A ModemManager that is not running is not started for this question.
    if (r >= 0)
        r = m_lib.setAutoStart(call.Get(), 0);
    if (r >= 0)
        r = m_lib.call(m_bus, call.Get(), CallTimeoutUsec(), error.Out(), reply.Out());
    if (r < 0) {
        LogFormatted("ModemManager: not answering on the system bus (%s)%s",
                     error.Name(std::strerror(-r)), kWithout);
        return ModemSearch::kNotFound;
    }
    const ModemSearch found =
        FindModemDevice(m_lib, reply.Get(), ports, count, m_uid, sizeof m_uid);
    char names[128];
    JoinPorts(ports, count, names, sizeof names);
    if (found == ModemSearch::kNotFound)
        LogFormatted("ModemManager knows no modem with the port %s%s", names, kWithout);
    else if (found == ModemSearch::kUidTooLong)
        LogFormatted("ModemManager: the device uid of %s is too long%s", names, kWithout);
    else if (found == ModemSearch::kMalformed)
        LogFormatted("ModemManager: its object list could not be read%s", kWithout);
    return found;
}

bool ModemManagerInhibit::CallInhibit(bool inhibit, char* failure, size_t failureSize) {
    sdbus::MessageRef call(m_lib), reply(m_lib);
    sdbus::ErrorRef error(m_lib);
    int r =
        m_lib.newMethodCall(m_bus, call.Out(), kService, kManagerPath, kService, "InhibitDevice");
    if (r >= 0)
        r = m_lib.append(call.Get(), "sb", m_uid, inhibit ? 1 : 0);
    if (r >= 0)
        r = m_lib.call(m_bus, call.Get(), CallTimeoutUsec(), error.Out(), reply.Out());
    if (r >= 0)
        return true;
    std::snprintf(failure, failureSize, "%s%s%s", error.Name(std::strerror(-r)),
                  error.Text()[0] != '\0' ? ": " : "", error.Text());
    return false;
}

void ModemManagerInhibit::Disconnect() {
    if (m_bus != nullptr)
        m_lib.flushCloseUnref(m_bus);
    m_bus = nullptr;
}
