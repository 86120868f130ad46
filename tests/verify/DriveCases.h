#pragma once

// The cases for drive letters that are no local volume of their own: a drive made with subst onto
// a folder of the case, and one mapped to that folder through \\localhost's administrative share.
// The launcher must refuse both with nothing written, while the same folder through its own path
// is written.

#include <vector>

#include "Cases.h"

namespace verify {

std::vector<Case> DriveCases();

}  // namespace verify
