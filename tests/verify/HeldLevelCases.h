#pragma once

// The cases for what the launcher's walk holds: a level opened with the walk's own request cannot
// be renamed or deleted by a second open, and a level made a junction after it was checked leads no
// open through its handle away.

#include <vector>

#include "Cases.h"

namespace verify {

std::vector<Case> HeldLevelCases();

}  // namespace verify
