// The modem's port names as found by the sysfs walk, and the device path the
// engine opens next.
#pragma once

extern char cmodem[12];  // node names such as ttyUSB2, without "/dev/"
extern char cdiag[12];
extern char cpcui[12];
extern char* SERIAL_PORT_MODEM_KEYNAME;
extern char* SERIAL_PORT_DIAG_KEYNAME;
extern char* SERIAL_PORT_PCUI_KEYNAME;

// The full path of the device node the engine opens next, e.g. /dev/ttyUSB2.
extern char bsdPath[1024];
