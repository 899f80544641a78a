// The program's run after the start-up: the banner, the flow controller, the
// main loop and the normal end.
#pragma once

class MACController;

// The one flow controller, created by InitProgram and never deleted.
extern MACController* Opcontroller;

// Builds the banner into g_strWelcome from the soft type and the update
// version of the string resource file: an empty line, a border, an inner line,
// the title, an inner line and a border, all as wide as the title.
void BuildWelcomeBanner();

// Builds the banner, creates the flow controller, registers
// the console's notification handler and initialises the controller. false
// only when no controller could be created.
bool InitProgram();

// Removes the two files extracted at start-up: the package and the string
// resource file. Errors are ignored.
void DeleteFilses();

// Asked after a successful device search whether the run ends there instead
// of starting the update (null: it never does).
void SetSearchEndCheck(bool (*endsRun)());

// The run after the port walk: a 2-second pause, InitProgram, the main loop
// (every 2 seconds one controller step until a result screen has been shown),
// then the end of the run (Cancel, DeleteFilses). Returns the exit status, 0.
int RunProgram();
