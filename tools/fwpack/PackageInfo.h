// fwpack info: checks a package, or the package attached to a program file,
// with the program's own reader and lists its units.
#pragma once

#include <cstdio>
#include <string>

// Prints "identity <text>" and one "unit <i> type 0x<8 hex> length <bytes>
// frames <count>" line per unit to out and returns 0 for a valid package;
// prints the reason to err and returns 1 otherwise.
int PrintPackageInfo(const std::string& path, FILE* out, FILE* err);
