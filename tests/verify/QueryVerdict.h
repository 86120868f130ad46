#pragma once

// The verdict on this machine's PowerShell evidence: whether a query that failed leaves in the
// launcher's report file something the launcher reads differently from an absent package. Plain
// data: the bytes and exit codes the powershell-* cases gathered, read as the launcher reads a
// report.

#include <string>
#include <string_view>

#include "Cases.h"

namespace verify {

// What the launcher writes into its report file before PowerShell starts.
inline constexpr std::string_view kReservationMarker = "ppkg-launcher: reserved\r\n";

struct PowerShellEvidence {
    bool gathered = false;   // the case ran PowerShell and read the file back
    std::string bytes;
    unsigned long exitCode = 0;
};

// Filled by the powershell-* cases of one run, read by query-verdict.
struct QueryEvidence {
    PowerShellEvidence absent;   // Get-ProvisioningPackage for a package no machine has
    PowerShellEvidence failed;   // the same call refused, its error stream left alone
    PowerShellEvidence merged;   // the refused call with 2>&1
};

// Pass: a failed query reads as "could not ask" and an absent package as absent. Fail: they
// read alike, or an absent package does not read as absent. CannotPrepare: the evidence is
// missing or shows no failure. The detail says what follows for /uninstall and "Not installed".
Outcome JudgeQueryEvidence(const QueryEvidence& evidence);

}  // namespace verify
