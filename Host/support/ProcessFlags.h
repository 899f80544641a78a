// Process-wide values shared by the flow controller and the update engine.
// The flags are read and written from the main thread and the engine's
// worker thread, so they are atomics.
#pragma once

#include <atomic>

// The reason code of the last failure; 255 = no error recorded.
constexpr int kNoError = 255;
extern std::atomic<int> g_nErrorCode;

extern std::atomic<bool> g_bForceDld;    // the board check found the device in download mode
extern std::atomic<bool> isNeedRestart;  // the device must be reset when the engine exits
extern std::atomic<bool> isDLDMode;      // the device is in download mode now
extern std::atomic<bool> bQX10UseDiag;   // a QX10/QX10+ is driven through its diagnostic port
extern std::atomic<bool> isSucceed;      // the engine reported success
// The run only checks the modem (--check): it leaves the host as it found it,
// appending to the program log and leaving the companion process running.
extern std::atomic<bool> g_bCheckOnly;

// Loaded by the flow controller from the string resources at its Init.
extern char strProduceName[12];      // IDS_PRODUCE_ID, the board type
extern char strDloadSoftType[2048];  // IDS_SOFT_TYPE: "firmware" or "dashboard"
extern char g_ProduceName[2048];     // the product name used in the engine's messages

// The QX10 models, which may be driven through their diagnostic port: a
// firmware version whose second field is at most kQX10DiagVersion keeps
// talking there.
constexpr long kQX10DiagVersion = 108;
bool IsQX10Model(const char* product);  // "QX10" or "QX10+"

// Sets g_nErrorCode back to "no error" when it still holds code.
void ClearErrorCode(int code);
