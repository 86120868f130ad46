#pragma once

// The cases for the report path walked through handles: a junction two levels above the
// report's folder is followed only when the system or Administrators own it and nobody else may
// change it, whichever separator the path uses.

#include <vector>

#include "Cases.h"

namespace verify {

std::vector<Case> PathWalkCases();

}  // namespace verify
