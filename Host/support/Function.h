// File services of the program: its file names, the program log, the result
// file, time text, the string lookup and the field splitter.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "Types.h"

// The working directory with a trailing "/": the base of every file name of
// the program. Empty until main has set it (names are then relative).
extern char g_ResourcesPath[256];

// Path helpers; callers pass buffers of at least 1,024 bytes.
bool getCurrentPath(char* out);
bool getResourcePath(char* out);
bool getBinFilePath(char* out);     // prints "Bin path = %s\n"
bool getResultFilePath(char* out);  // prints "Result path = %s\n"
bool GetTempFileName(char* out);    // the extracted package, as getBinFilePath
bool getStringList(char* out);      // resource directory + "StringList.strings"

// fopen(path, mode) for the files the program writes ("w", "w+", "a", "a+"):
// never through a symbolic link (the open fails instead), and a new file is
// created with mode 0644. Other modes are passed to fopen unchanged.
FILE* OpenForWriting(const char* path, const char* mode);
// Writes size bytes to path + ".tmp" (as OpenForWriting does), syncs it and
// renames it over path: a reader sees the old file or the new one, never a
// part. False with errno's text in *why; no temporary file is left.
bool ReplaceFile(const char* path, const void* data, size_t size, std::string* why);

// Size of an open stream (end - start), leaving it at its start; -1 for null.
int GetFileSize(FILE* file);

// The asctime text of the local time, with its newline, into out (>= 26 bytes).
// The program always passes a null format.
void GetCurrentTime(char* out, const char* format);

// Decimal digits of value (>= 0) into a zeroed out, without a terminator.
void itoa(char* out, int value);

// Field index of text split at c, into output (which may be text itself).
BOOL GetSubstring(const char* pszString, char c, int index, char* output);
// Field 1 of a dotted version ("11.608.13.02.00" gives 608) as a decimal
// number; 0 when it is missing or does not begin with a digit.
long SecondVersionField(const char* version);

// Appends one time-stamped entry to the program log: the time text without
// its newline, " -- ", msg; the entry is cut at 2,047 bytes. A log above
// 10,000,000 bytes is emptied before the entry is written.
void Log(const char* msg);
// Empties the program log.
void CleanLog();
// From LeaveResultFileAlone(true) on, WriteResult changes nothing: a run that
// only checks the modem leaves the result file of the last update as it is.
void LeaveResultFileAlone(bool leave);
// Replaces the result file with word (at most 63 bytes of it) and zero bytes
// up to 64 bytes. When the replacement cannot be written (no space, no inode)
// the existing result file is overwritten in place (never through a symbolic
// link); when that fails too, "open Flashpilot-Result failed!" is printed.
void WriteResult(const char* word);

// The value for key from the string resource file; returns the length copied
// into out. The first line containing key (without regard to case) is the
// match; its value is the text between its third and fourth '"'. The key
// itself is copied when the file is missing, the key is empty or no line
// matches; a matching line without a value gives an empty out.
// This form copies at most 2,047 bytes and a terminator (a resource line is at
// most that long): out must hold the longest value the caller can receive.
long LoadString(const char* key, char* out);
// The same, bounded by the caller's buffer: at most outSize - 1 bytes are
// copied (the value is cut there) and out is always terminated when outSize is
// above 0. The return value is the length actually copied. Small buffers (the
// banner's 10 and 30 bytes, 12-byte version fields) use this form.
long LoadString(const char* key, char* out, size_t outSize);
