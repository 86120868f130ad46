#pragma once

// The cases for what the launcher's walk holds: a level opened with the walk's own request cannot
// be renamed or deleted by a second open, a level made a junction after it was checked leads no
// open through its handle away, and RedirectionGuard refuses a junction a non-administrator made.

#include <vector>

#include "Cases.h"

namespace verify {

std::vector<Case> HeldLevelCases();

}  // namespace verify
