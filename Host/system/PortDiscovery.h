// Finding the modem's USB serial ports: the walk of the option driver's
// interface entries in sysfs, the product table that says which interface
// serves which role, and the node names and device path the engine uses.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "PortNames.h"

// One port role of a product: its interface number as two hexadecimal digits
// ("_" when the product has no such port; it never matches) and its role bit.
struct SPortRole {
    char m_szInterface[12];
    int32_t m_nBit;  // 0 modem, 1 diagnostic, 2 PCUI
};

// One row of the product table, 60 bytes: product ID as four upper-case
// hexadecimal digits, then the modem, diagnostic and PCUI roles.
struct SDeviceRow {
    char m_szPID[12];
    SPortRole m_Roles[3];
};
static_assert(sizeof(SDeviceRow) == 60, "a product row is 60 bytes");

constexpr int kDeviceRows = 38;
constexpr int kPortNameSize = sizeof cmodem;

// The maker's USB vendor ID as it appears in a modalias line.
extern const char kVendorId[];

// The product table in ascending order of product ID.
extern const SDeviceRow Devices[kDeviceRows];

// The node names cmodem, cdiag, cpcui (names of 12 characters or more are
// never stored), their key-name pointers and bsdPath live in PortNames.h.

// The boot loader's product: in download mode the modem enumerates as the
// product with its PCUI port alone, interface 00 (row 8).
extern const char kLoaderProductId[];

// What a walk is for.
enum class WalkFor {
    kDevice,      // the device in whatever mode
    kBootLoader,  // the download's search: elsewhere, only the boot loader is ours
    kRescan,      // a repeated walk: what it would print goes to the log only
};

// Walks /sys/bus/usb/drivers/option and fills cmodem, cdiag and cpcui from
// one USB device: the first walk takes the first of the maker's devices by
// port path and records that path; later walks take only the device at it,
// or the only device, if it was the only one and came back elsewhere (for
// kBootLoader only when that one enumerates as the boot loader). Keeps USB
// autosuspend off for the device. 0 when the PCUI port was found, -1
// otherwise.
int GetDevicePIDAndSetPorts(WalkFor purpose = WalkFor::kDevice);

// One modem of the maker as sysfs shows it: what --list prints.
struct SModemListing {
    std::string portPath;                       // such as 1-1.2
    bool bootLoader = false;                    // every interface enumerates as the boot loader
    std::string productId;                      // four hexadecimal digits, as in the modalias line
    std::string modemNode, diagNode, pcuiNode;  // such as ttyUSB2; empty when absent
};

// Every modem of the maker under /sys/bus/usb/drivers/option, in port path
// order. Reads sysfs only: prints, logs and opens nothing else.
std::vector<SModemListing> ListModems();

// From now on every walk takes the device at portPath alone, wherever else
// a modem may be; ForgetFollowedDevice keeps it.
void FollowOnlyDevice(const std::string& portPath);

// From now on the walks leave alone every device for which held(port path)
// is true: one that another run is updating. An empty function drops the
// test.
void SkipDevicesHeldElsewhere(std::function<bool(const std::string& portPath)> held);

// Forgets the device followed so far: the next walk chooses anew, as the
// first walk of a run does.
void ForgetFollowedDevice();

// The USB port path (such as 1-1.2) of the device whose ports the walks
// take; empty before a walk found one.
std::string FollowedDevicePath();

// True when the last walk found node (such as ttyUSB2) under another USB
// device than the one whose ports it took.
bool IsPortOfOtherDevice(const char* node);
