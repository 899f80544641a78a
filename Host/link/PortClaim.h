// Exclusive use of a serial node: the traditional lock file, an advisory
// lock and the terminal's exclusive mode, the holder named when another
// process has the node, and the reason when a node cannot be opened.
#pragma once

#include <cstddef>

// The process id a lock file names: ASCII digits (space padded, as written by
// cooperating serial programs) or a 4-byte binary id; 0 when there is none.
long LockFilePid(const char* data, size_t length);

// True when /run/lock/LCK..<node> (under FLASHPILOT_ROOT) names a live
// process other than ours; the holder is named once.
bool LockFileHeldByOther(const char* path);

// Right after the open of path as fd: an exclusive advisory lock without
// waiting, then the terminal's exclusive mode. False when another process
// holds the lock (it is named once); the caller closes fd.
bool ClaimPort(int fd, const char* path);

// Before the close: exclusive mode off, the lock released.
void ReleasePort(int fd);

// Logs a failed open of path with its reason; for a missing permission tells
// the user once what to do, for a node in exclusive mode names its holder.
void ReportOpenFailure(const char* path, int error);
