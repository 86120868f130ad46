#pragma once

// The folder this program runs from, judged before anything else happens in it.

#include <string>

namespace verify {

// Why the folder may not be trusted: it lies on a network drive or share, or it or a folder
// above it may be changed by someone other than the system, Administrators and TrustedInstaller,
// or a list on the way cannot be read. Judged from each level's owner and list, read through
// a handle to the level itself, along the path the folder's own handle resolves to (so a
// mapped or substituted drive letter is judged where it really leads). Empty: none of these.
std::wstring WhyNotTrusted(const std::wstring& folder);

}  // namespace verify
