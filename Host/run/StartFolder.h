// The program opens its own file by the base name of its first argument in
// the working directory. Started by path from another folder it cannot find
// it; the hint below tells the user how to start it instead.
#pragma once

#include <string>

// "Start the program from its own folder: cd DIR && ./NAME\n", with DIR the
// folder of the running program file and NAME its base name; empty when the
// working directory cwd (ending in '/') is that folder or the file cannot be
// named.
std::string StartFolderHint(const char* cwd);
