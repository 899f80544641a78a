// Turning a port name from the sysfs walk into a working device path: the
// named node first, then the nodes /dev/ttyUSB2, 1 and 0 in turn (those of
// another modem passed over).
#include <cstdio>
#include <cstring>

#include "Function.h"
#include "HOST_MainControl.h"
#include "PortDiscovery.h"
#include "PortNames.h"
#include "ProcessFlags.h"

namespace {

constexpr int kPortNotFound = 10;

// True when the board-class answer (first byte included) names the maker, in
// any letter case.
bool IsMakersBoard(const char* boardClass) {
    char text[22];
    memcpy(text, boardClass, 21);
    text[21] = '\0';
    return strcasestr(text, "EKORVEL") != nullptr;
}

}  // namespace

BOOL CMainControl::FindCommPort(char* name) {
    Log("The driver tool has been installed!\n");
    if (!FindCommPortWithDriverTool(name) && !FindCommPortWithoutDriverTool()) {
        g_nErrorCode = kPortNotFound;
        return FALSE;
    }
    ClearErrorCode(kPortNotFound);
    return TRUE;
}

BOOL CMainControl::FindCommPortWithDriverTool(char* name) {
    snprintf(bsdPath, sizeof(bsdPath), "/dev/%s", name != nullptr ? name : "");
    if (isDLDMode)
        return TRUE;
    if (OpenPort()) {
        SwitchToDiag();
        ClosePort();
        Pause(500);
        if (OpenPort())
            return TRUE;
    }
    ClosePort();
    return FALSE;
}

BOOL CMainControl::FindCommPortWithoutDriverTool() {
    char boardClass[64];
    for (int n = 2; n >= 0; --n) {
        // A fixed node that the last walk found under another modem is never
        // opened: its line is not ours to write to.
        char node[16];
        snprintf(node, sizeof(node), "ttyUSB%d", n);
        if (IsPortOfOtherDevice(node)) {
            LogF("Port /dev/%s belongs to another modem; it is left alone.\n", node);
            continue;
        }
        snprintf(bsdPath, sizeof(bsdPath), "/dev/%s", node);
        if (isDLDMode) {
            if (OpenPort()) {
                QueryDldMode();
                memset(boardClass, 0, sizeof(boardClass));
                if (QueryBoardClass(boardClass) && IsMakersBoard(boardClass)) {
                    ClosePort();
                    LogF("Port path = %s\n", bsdPath);
                    return TRUE;
                }
                ClosePort();
            }
            if (n == 0) {
                ClosePort();
                return FALSE;
            }
            continue;
        }
        if (m_bDownloadCompleted) {
            // After the download the device restarts in normal mode.
            ClosePort();
            if (OpenPort()) {
                SwitchToDiag();
                ClosePort();
                if (OpenPort() && HandShake()) {
                    LogF("Port path = %s\n", bsdPath);
                    return TRUE;
                }
            }
            ClosePort();
            continue;
        }
        if (OpenPort()) {
            SwitchToDiag();
            ClosePort();
            if (OpenPort()) {
                Pause(3000);
                bool answered = HandShake();
                if (!answered) {
                    memset(boardClass, 0, sizeof(boardClass));
                    answered = QueryBoardClass(boardClass) && IsMakersBoard(boardClass);
                }
                if (answered) {
                    LogF("Port path = %s\n", bsdPath);
                    return TRUE;
                }
            }
        }
        ClosePort();
    }
    return FALSE;
}
