// The update flow controller: steps one update run forward (device search,
// warning, start of the update), owns the update engine and turns its own
// progress and the engine's notifications into calls of one console callback.
#pragma once

#include <cstddef>

#include "HOST_MainControl.h"
#include "Timer.h"

// The console callback: (kind, code, text, extra).
typedef void (*PFN_UI_NOTIFY)(unsigned long kind, unsigned long code, char* text, char* extra);

class MACController : public ITimerAble, public IEngineObserver {
public:
    // Step states of m_nState.
    enum State { Search = 0, Warning = 1, Update = 2, Done = 3 };

    MACController() = default;
    virtual ~MACController();
    MACController(const MACController&) = delete;
    MACController& operator=(const MACController&) = delete;

    // Stores the console callback; a null one is refused and the old one stays.
    bool RegisterNotify(PFN_UI_NOTIFY fn);
    // Creates the (never started) timer and, unless one exists already, the
    // engine in m_Download; loads the product name and the soft type. true
    // for the soft types "firmware" and "dashboard".
    bool Init();
    // One step of the state machine: 1 after the search or warning step, -1
    // after the update step, 0 when nothing is left to do.
    int OnOk();
    // One tick of the device search.
    void SearchDeviceTimerFun();
    // Hands the engine's device information rows to the console.
    void DrawBoardInfo();
    // The engine's notifications (called on the engine's worker thread).
    void UIController(unsigned long kind, double code, char* text) override;
    // Ends the run: stops the engine, ends the listener child.
    void Cancel();
    // Stops the maker's companion process if it runs.
    bool KillKVActivator();
    void TimerFun(int id) override;

    int GetState() const { return m_nState; }

private:
    void Notify(unsigned long kind, unsigned long code, const char* text);
    // Ends the search with a failure result (7, 11, text).
    void FailSearch(const char* text);
    // The QX10 board check on its diagnostic port: moves a device whose
    // firmware is newer than 108 over to its PCUI port. false when a step
    // failed (the search is then over and Cancel has run).
    bool MoveQX10ToPcuiPort();

    Timer* m_pTimer = nullptr;
    PFN_UI_NOTIFY m_pfnNotify = nullptr;
    int m_nState = Search;
    bool m_bSearchDone = false;
};

// The engine, created by MACController::Init; never deleted by the program.
extern CMainControl* m_Download;
// Search ticks since the search began.
extern int m_TimeCount;
// Command path of the stopped companion process, for the log.
extern char g_strKVActivatorPath[1024];

// Reads a line of "ps h -C KVActivator o'%p %a'": optional blanks, the process
// id in decimal, at least one blank, then the command path (the first word of
// the arguments; stored in path, cut to pathSize - 1 characters). true with
// *pid above 0 only for such a well-formed line.
bool ParseKVActivatorLine(const char* line, int* pid, char* path, size_t pathSize);

// True while process pid runs under the companion's name (its name under
// /proc), so that an id reused since the listing is never signalled.
bool IsCompanionProcess(int pid);
