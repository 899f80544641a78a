#include "PortNames.h"

char cmodem[12];
char cdiag[12];
char cpcui[12];
char* SERIAL_PORT_MODEM_KEYNAME = cmodem;
char* SERIAL_PORT_DIAG_KEYNAME = cdiag;
char* SERIAL_PORT_PCUI_KEYNAME = cpcui;
char bsdPath[1024];
