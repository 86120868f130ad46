#pragma once

// The scratch folder: made new, with a list that lets only the system and Administrators change
// anything in it, and held so that nobody can rename it away while the cases run in it.

#include <windows.h>

#include <string>

#include "Handles.h"

namespace verify {

class Scratch {
public:
    // Makes the folder, which must not exist yet; an empty text, or why it could not.
    std::wstring Create(const std::wstring& path);
    const std::wstring& path() const { return path_; }
    // The list read back, as SDDL, and whether it is the one set.
    std::wstring ListReadBack(bool& asSet) const;
    // Removes the folder and everything in it, once it is sure to be the folder it made; an
    // empty text, or what stayed.
    std::wstring Remove();

private:
    std::wstring path_;
    UniqueFile held_;
    BY_HANDLE_FILE_INFORMATION identity_{};
};

// Only the system and Administrators, inherited by everything made inside.
inline constexpr wchar_t kScratchSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

}  // namespace verify
