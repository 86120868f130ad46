#pragma once

// A log of the names made, removed and renamed anywhere below a folder while something runs,
// from the system's own change notifications (ReadDirectoryChangesW).

#include <windows.h>

#include <string>
#include <vector>

#include "Handles.h"
#include "RollbackJudge.h"

namespace verify {

class DirectoryWatch {
public:
    DirectoryWatch() = default;
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;
    DirectoryWatch(DirectoryWatch&&) = delete;
    DirectoryWatch& operator=(DirectoryWatch&&) = delete;
    // A read still under way is cancelled and awaited before its buffer goes.
    ~DirectoryWatch();

    // Starts logging; an empty text, or why it cannot.
    std::wstring Start(const std::wstring& folder);
    // Everything logged since Start, once nothing more has arrived for a moment; an empty
    // text, or why the log is incomplete.
    std::wstring Collect(std::vector<LoggedChange>& log);

private:
    bool Issue();

    UniqueFile folder_;
    UniqueKernelHandle event_;
    OVERLAPPED overlapped_{};
    bool pending_ = false;
    std::vector<DWORD> buffer_;   // DWORD-aligned, as the records must be
};

}  // namespace verify
