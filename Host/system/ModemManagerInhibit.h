// ModemManager left out of the update: the program asks ModemManager on the
// system bus to inhibit the modem (InhibitDevice(uid, true)) before it opens
// any port, keeps the bus connection open for the whole run (ModemManager
// drops an inhibition whose client leaves the bus) and gives the modem back
// (InhibitDevice(uid, false)) at the end, before it closes the connection.
// Without the bus library, a system bus, ModemManager or a modem it knows,
// the update runs as without this client.
#pragma once

#include <cstddef>
#include <mutex>

#include "ModemManagerObjects.h"
#include "SdBusLibrary.h"

class ModemManagerInhibit {
public:
    ModemManagerInhibit() = default;
    ~ModemManagerInhibit();  // Release()
    ModemManagerInhibit(const ModemManagerInhibit&) = delete;
    ModemManagerInhibit& operator=(const ModemManagerInhibit&) = delete;

    // Looks for the modem owning one of ports[0 .. count - 1] (node names
    // from the start-up walk) and inhibits it. Every outcome is one line of
    // the program log; a refusal (or no answer in time) also one warning line
    // on standard error. true while the inhibition is held.
    bool Take(const char* const* ports, size_t count);

    // Gives a held inhibition back and closes the bus connection. Safe from
    // any thread and more than once; later calls do nothing.
    void Release();
    // The same, unless Take is still asking ModemManager: then nothing, and
    // the process's end closes the connection, which drops any inhibition.
    // For an interruption, which must not wait for the call.
    void ReleaseUnlessBusy();
    // True when ModemManager knew the modem and refused (or did not answer)
    // the inhibition.
    bool Refused() const { return m_refused; }

private:
    bool Connect();
    bool WaitUntilReady();
    ModemSearch FindUid(const char* const* ports, size_t count);
    bool CallInhibit(bool inhibit, char* failure, size_t failureSize);
    void Disconnect();
    void ReleaseHeld();  // m_lock held

    std::mutex m_lock;
    sdbus::Library m_lib;
    sdbus::Bus* m_bus = nullptr;
    char m_uid[kMmUidSize] = {};
    bool m_held = false;
    bool m_refused = false;
};
