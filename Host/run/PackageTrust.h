// Whether the run may flash its package, by the package's signature: with
// no key trusted on the host every package goes on as before; with one, only
// a package signed by a trusted key does. Judged at start-up, before any
// byte reaches the modem.
#pragma once

#include <string>

#include "PackageSignature.h"

// The error code of a package refused for its signature.
constexpr int kPackageNotTrusted = 24;

// Start-up: judges the extracted package against the signature that the
// program file programPath carries and the host's trusted keys, and logs the
// verdict; a trusted key that cannot be read is named in the log and on
// standard error. A refused package sets error code 24; an update run (not
// checking) then puts the reason on standard error, shows "Update failed!",
// writes "FALSE" and gets false: the run ends. A check only notes it.
bool AdmitPackage(const std::string& programPath, bool checking);

// Why the package was refused at start-up ("the package is refused: ...");
// empty when it was not, or not judged.
std::string PackageRefusal();

// The verdict of the start-up, or else the package of the program's own file
// judged in place; judged once.
SSignatureVerdict OwnPackageSignature();

// Why a package with verdict may not be flashed here; empty when it may.
std::string RefusalReason(const SSignatureVerdict& verdict);

// "valid, key 70F4AA9E026A2C7E, trusted here", "unsigned", ...: the state,
// the key ID and whether this host trusts that key.
std::string SignatureSummary(const SSignatureVerdict& verdict);
