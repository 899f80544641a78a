// Exclusive use of a serial node: the traditional lock file, an advisory
// lock and the terminal's exclusive mode, the holder named when another
// process has the node, and the reason when a node cannot be opened.
#pragma once

#include <cstddef>
#include <string>

// The process id a lock file names: the first number after any blanks,
// whatever follows it ("      4711\n", "      4711 minicom root\n", as
// serial programs write them), or a 4-byte binary id; 0 when there is none.
long LockFilePid(const char* data, size_t length);

// True when /run/lock/LCK..<node> (under FLASHPILOT_ROOT) names a live
// process other than ours; the holder is named once.
bool LockFileHeldByOther(const char* path);

// Right after the open of path as fd: refused when the terminal is already in
// exclusive mode (another process set it); then an exclusive advisory lock
// without waiting, then the terminal's exclusive mode, *exclusiveSet telling
// whether we set it. False when another process holds the node (named once
// per node); the caller closes fd without touching the flag.
bool ClaimPort(int fd, const char* path, bool* exclusiveSet);

// Before the close: exclusive mode off when we set it, the lock released.
void ReleasePort(int fd, bool exclusiveSet);

// Why the last open of node (such as /dev/ttyUSB2) failed, as --check says
// it: in use by a process (lock file, locked, exclusive mode), no permission,
// missing, another error; "" when its last open succeeded or none was tried.
std::string PortOpenProblem(const char* node);

// Logs a failed open of path with its reason; for a missing permission tells
// the user once what to do, for a node in exclusive mode names its holder.
void ReportOpenFailure(const char* path, int error);
