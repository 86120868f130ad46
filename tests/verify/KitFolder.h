#pragma once

// The folder this program runs from, judged before anything else happens in it.

#include <windows.h>

#include <string>

namespace verify {

// Why the folder may not be trusted: it lies on a network drive or share, or it or a folder
// above it may be changed by someone other than the system, Administrators and TrustedInstaller,
// or a list on the way cannot be read. Judged from each level's owner and list, read through
// a handle to the level itself, along the path the folder's own handle resolves to (so a
// mapped or substituted drive letter is judged where it really leads). Empty: none of these.
// Where the level to blame is the folder itself or the one above it and the one who may change it
// is `account`, the administrator running this (the owner an elevated mkdir gives on Windows 10
// and 11), `mend` receives the commands that mend it.
std::wstring WhyNotTrusted(const std::wstring& folder, const std::wstring& account, std::wstring& mend);

// Why one of the program's files (itself, the launcher beside it), read through a handle opened
// with READ_CONTROL and FILE_READ_ATTRIBUTES, may not be trusted: it has a second name, which
// may lie in a folder nobody judged, or its owner or list lets someone other than the system,
// Administrators and TrustedInstaller write, rename or re-permit it. Empty: neither. `mend` as
// above, for a file the administrator's own account owns or may write.
std::wstring WhyFileNotTrusted(HANDLE file, const std::wstring& path, const std::wstring& folder,
                               const std::wstring& account, std::wstring& mend);

}  // namespace verify
