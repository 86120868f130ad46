#pragma once

// Cases that settle on the machine what the model and the bench take on trust: the bytes Windows
// PowerShell leaves in a report and the verdict drawn from them, CommandLineToArgvW on the
// command lines the launcher's split was modelled on, the KnownDLLs list against the launcher's
// imports, and the time a status request takes.

#include <vector>

#include "Cases.h"

namespace verify {

std::vector<Case> EvidenceCases();

}  // namespace verify
