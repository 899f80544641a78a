// USB autosuspend off while the program uses a device: a suspended modem or
// boot loader stops answering between two blocks.
#pragma once

#include <string>

// Writes "on" to deviceDir/power/control (deviceDir as the walk resolved it).
// The value found on the first device is kept for RestoreAutosuspend. A
// file that cannot be read or written is logged once and changes nothing.
void KeepDeviceAwake(const std::string& deviceDir);

// Writes the first device's value back to the device in use last; once.
void RestoreAutosuspend();
