// Comparison of a version the modem reports with a package's target version.
#pragma once

// True when both texts are the same once trailing blanks and the zero fill
// of a reply field are ignored. An empty report never matches.
bool VersionsMatch(const char* reported, const char* target);
