#pragma once

// The run as the local system account, which is how management agents start the launcher: a
// task of the Task Scheduler (a part of every Windows) that runs a copy of this program once,
// waited for and removed again.

#include <string>

#include "Cases.h"
#include "Verdicts.h"

namespace verify {

struct SystemRunFiles {
    std::wstring program;     // the copy of this program the task runs
    std::wstring arguments;
    std::wstring folder;      // its working directory
    std::wstring output;      // what the run prints, written by the run itself
    std::wstring exitCode;    // its exit code and counts (CountsLine), written by the run as its last step
};

// Prints the run's lines as they arrive; the run prints no closing line of its own. Pass carries
// the run's own exit code and counts, which it writes last; Fail says how it ended without them;
// CannotPrepare says why no run took place.
struct SystemRunResult {
    Verdict verdict = Verdict::CannotPrepare;
    std::wstring detail;
    int exitCode = 0;
    RunCounts counts;
};
SystemRunResult RunAsSystem(const SystemRunFiles& files);

// The account this process runs as, "DOMAIN\name (SID)".
std::wstring CurrentAccount();

}  // namespace verify
