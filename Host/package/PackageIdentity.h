// The package appended to the program file: its extraction and its identity
// line (prefix, board type, target version).
#pragma once

extern char Prefix[32];
extern char BoadType[32];
extern char Version[32];
extern char pathBinfile[100];
extern char pathStringList[100];

// Joined paths (directory + file name) are at most 99 characters; longer ones
// are refused with a message. Identity fields are at most 29 characters.

// Copies the package out of dir + name into dir + "MODEM_FIRMWARE.BIN". 0 or -1.
// The 24-byte trailer at the end of the file gives the package's offset and
// length; a package that does not lie before the trailer is refused.
// With sourceDir, the program file is sourceDir + name instead.
int SeparateFile(const char* dir, const char* name, const char* sourceDir = nullptr);
// Reads and shows the identity line of the extracted package. 0 or 1.
int ReadBinFile(const char* dir);
// Writes StringList.strings: the built-in table and four identity lines. 0 or 1.
int PrintStringList(const char* dir);
// ReadBinFile, then PrintStringList. 0 or 1.
int ParseBinFile(const char* dir);
