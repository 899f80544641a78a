// Reading ModemManager's object tree: the reply of GetManagedObjects on
// /org/freedesktop/ModemManager1, a{oa{sa{sv}}}, searched for the modem that
// owns one of the ports the start-up walk found.
#pragma once

#include <cstddef>

#include "SdBusLibrary.h"

// The interface of a modem object, whose properties Ports and Device the
// search reads.
extern const char kMmModemInterface[];  // org.freedesktop.ModemManager1.Modem

// Room for a device uid (a sysfs path) with its terminator; a longer uid is
// refused rather than cut, since a cut uid would name another device.
constexpr size_t kMmUidSize = 512;

enum class ModemSearch {
    kFound,       // uid holds the Device property of the modem
    kNotFound,    // no modem lists one of the ports
    kUidTooLong,  // the modem's Device does not fit kMmUidSize
    kMalformed,   // the reply does not have the documented shape
};

// Searches the reply (read from its start) for the first modem object whose
// Ports property (a(su)) names one of ports[0 .. count - 1] (node names such
// as ttyUSB2; empty ones are passed over) and copies its Device property (s)
// into uid. Properties of other names or types are skipped.
ModemSearch FindModemDevice(const sdbus::Library& lib, sdbus::Message* reply,
                            const char* const* ports, size_t count, char* uid, size_t uidSize);
