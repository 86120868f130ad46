#pragma once

// The case for the launcher's event-tracing provider: a trace session of this program's own
// records two /getstatus runs, one written and one refused at a junction a standard user owns,
// and Windows' own decoder (TDH) must find in the file which level was refused and why.

#include <vector>

#include "Cases.h"

namespace verify {

std::vector<Case> TraceCases();

}  // namespace verify
