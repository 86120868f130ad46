#pragma once

// The cases for the report path walked through handles: a junction two levels above the
// report's folder is followed only when the system or Administrators own it and nobody else may
// change it, whichever separator the path uses.

#include <vector>

#include "Cases.h"

namespace verify {

std::vector<Case> PathWalkCases();

// Makes an entry (a junction, never followed here) look made by a standard user: that user's
// SID as its owner, set with the restore privilege, and a list only administrators may change.
// Empty text when the owner reads back, else why not.
std::wstring OwnedByAStandardUser(const std::wstring& path);

}  // namespace verify
