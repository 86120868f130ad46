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
    // The owner and list read back, as SDDL for the person reading, and in `problem` who besides
    // the system and Administrators could change the folder or what is made in it (empty: nobody).
    std::wstring ListReadBack(std::wstring& problem) const;
    // The launcher's own temp folder inside it, made by Create; its runs are told to use it.
    std::wstring TempFolder() const;
    // Removes the folder and everything in it, once it is sure to be the folder it made; an
    // empty text, or what stayed.
    std::wstring Remove();

private:
    std::wstring path_;
    UniqueFile held_;
    BY_HANDLE_FILE_INFORMATION identity_{};
};

// Only the system and Administrators, inherited by everything made inside, and owned by
// Administrators whichever of them made it.
inline constexpr wchar_t kScratchSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

}  // namespace verify
