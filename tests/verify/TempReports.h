#pragma once

// The launcher's temp reports around one run of it: what the run may have left, and what this
// program may remove. Plain data, tested on Linux too.

#include <string>
#include <vector>

#include "Cases.h"

namespace verify {

struct TempReportsSeen {
    // The launcher's temp folder is this program's own, inside the scratch folder: only its own
    // runs write there. Otherwise (the system account's C:\Windows\SystemTemp) others may.
    bool ownFolder = false;
    std::vector<std::wstring> appeared;    // temp reports there now that were not before the run
    std::vector<std::wstring> otherRuns;   // other launcher processes seen around the run
};

struct TempReportsJudgement {
    Verdict verdict = Verdict::Pass;   // Pass: nothing here to hold against the case
    bool removeAppeared = false;       // whether what appeared is the run's own to remove
    std::wstring detail;
};

// Only what this program's own runs made is ever removed. A report this program did not cause,
// or another run of the launcher around the case, leaves the case not prepared: the machine's
// own deployments are neither failures of the launcher nor this program's to clean up.
TempReportsJudgement JudgeTempReports(const TempReportsSeen& seen, bool endedByItself);

}  // namespace verify
