#pragma once

// The cases for RedirectionGuard, which the launcher switches on for its own process: that the
// launcher's process runs with it, that on this Windows a process with it follows no junction a
// user who is no administrator made, and, for the person reading, whether the tools the launcher
// starts run with it too.

#include <vector>

#include "Cases.h"

namespace verify {

std::vector<Case> RedirectionGuardCases();

}  // namespace verify
