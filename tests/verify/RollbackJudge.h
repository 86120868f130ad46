#pragma once

// The judge of a failed directory chain: from the log of names made and removed in the case's
// folder while the launcher ran, not from what is left afterwards, since a launcher that made
// nothing leaves the folder as it was too.

#include <string>
#include <vector>

#include "Cases.h"

namespace verify {

enum class NameChange { Added, Removed, RenamedFrom, RenamedTo };

struct LoggedChange {
    NameChange change;
    std::wstring name;  // relative to the watched folder
};

// Pass when the log is exactly: each level added in order, then each removed, deepest first.
Outcome JudgeRollback(const std::vector<LoggedChange>& log, const std::vector<std::wstring>& levels);

}  // namespace verify
