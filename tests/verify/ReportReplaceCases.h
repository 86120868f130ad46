#pragma once

// The cases for how the launcher puts its report in place: an existing report is replaced by a
// new file through a rename, never written into, so a second hard link keeps the earlier bytes;
// a report another program holds open is left as it was, and no new file stays behind.

#include <vector>

#include "Cases.h"

namespace verify {

// hard-link: status.txt is a second name of behind\keep.txt.
Outcome CheckReplacedHardLink(const Context& context, const Case& self, const std::wstring& folder);

std::vector<Case> ReportReplaceCases();

}  // namespace verify
