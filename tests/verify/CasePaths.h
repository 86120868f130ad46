#pragma once

// Whether a case's report path leaves the launcher nothing to refuse but what the case plants.

#include <string>

namespace verify {

// Why the launcher would refuse the path for its length alone (259 characters at most without
// \\?\), or make no folder on it (only below 248): empty when neither. A refusal at such a path
// proves nothing, and a folder never made fails a case on a sound machine.
std::wstring TooLongForTheLauncher(const std::wstring& reportPath);

}  // namespace verify
