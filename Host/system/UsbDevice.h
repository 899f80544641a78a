// The USB device behind an interface entry of the option driver: its
// directory in the device tree and its port path (such as 1-1 or 2-1.3),
// which stays the same when the device enumerates again on the same port;
// and the choice of one device among several of the maker.
#pragma once

#include <string>
#include <vector>

// True when port path a comes before b: numbers compared as numbers, so that
// 1-2 comes before 1-10.
bool PortPathBefore(const std::string& a, const std::string& b);

// The device of the entry at path: the parent directory of what the entry
// links to, and that directory's name as the port path. False when the
// entry cannot be resolved.
bool ResolveUsbDevice(const char* entryPath, std::string* deviceDir, std::string* portPath);

// Which device a walk takes among the port paths of the maker's devices
// (any order): none recorded yet, the first in order; the recorded one when
// it is there; else, when the first walk saw only one device and this walk
// sees only one, that one (it came back on another port); else none ("").
std::string ChooseDevicePath(std::vector<std::string> portPaths, const std::string& recorded,
                             bool firstWalkSawOne);
