#pragma once

// The verdict on this machine's PowerShell evidence: whether the launcher's query, failing while
// the cmdlet runs, leaves in the launcher's report file something the launcher reads differently
// from an absent package. Plain data: the bytes, exit codes and error text the powershell-* cases
// gathered, read as the launcher reads a report.

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
    std::string errorText;   // what powershell.exe wrote to its standard output and error
};

// Filled by the powershell-* cases of one run, read by query-verdict.
struct QueryEvidence {
    PowerShellEvidence present;   // the launcher's exact query for one of its packages, when one is installed
    PowerShellEvidence absent;    // the launcher's exact query for a package no machine has
    PowerShellEvidence binding;   // a call PowerShell refuses before the cmdlet runs
    PowerShellEvidence merged;    // that call with 2>&1
    PowerShellEvidence runtime;   // the launcher's exact query without administrators' rights
    bool asSystem = false;        // this run is the local system account's
};

// How the launcher reads a report.
enum class Reading { Absent, CouldNotAsk, Installed };
Reading ReadAsLauncher(const std::string& bytes);
std::wstring ReadingName(Reading reading);

// The error PowerShell reports, from the first "CategoryInfo" line of its error view
// ("NotSpecified: (:) [Get-ProvisioningPackage], UnauthorizedAccessException"): the command in
// brackets and the exception's type after them. Both empty when there is none.
struct ErrorCategory {
    std::string command;
    std::string exception;
};
ErrorCategory ReadErrorCategory(std::string_view text);

// A failure of Get-ProvisioningPackage itself, after PowerShell bound its parameters: PowerShell
// answered non-zero and its error names the cmdlet with an exception that is not a binding one.
// A PowerShell that could not start, or a command it could not find, shows no such error.
bool FailedWhileRunning(const PowerShellEvidence& evidence);

// Pass (go): the failure while the cmdlet ran reads as "could not ask" and an absent package
// as absent. Fail (no-go): they read alike, or an absent package does not read as absent.
// CannotPrepare: evidence missing, or no failure of the cmdlet could be caused; as the system
// account, where no token without administrators' rights comes from its own, that is Info.
Outcome JudgeQueryEvidence(const QueryEvidence& evidence);

}  // namespace verify
