#pragma once

// Access lists: reading an entry's owner and list through its handle, opening a case's folder
// to what every user's files get and closing it again, and judging what a created entry got.

#include <windows.h>

#include <string>
#include <utility>

#include "AclJudge.h"

namespace verify {

// The owner and DACL of the entry a handle (opened with READ_CONTROL) holds, parsed, and the
// same as SDDL text for the person reading it. False, with the error left, when unreadable.
bool ReadAccessList(HANDLE entry, AccessList& list, std::wstring& sddl);

// The owner of what this process creates: its token's default owner, as a SID string.
std::wstring DefaultOwnerSid();

// Gives a folder a protected list whose Users entry is inherit-only: what is made inside would
// let Users add files and folders, as under C:\ProgramData, but the folder itself gives them
// nothing to plant, move or pre-create while the launcher runs. Empty text when that list reads
// back; otherwise why not (some systems store none).
std::wstring OpenToUsers(const std::wstring& folder);

// Gives the folder back the scratch folder's list, so that nobody but the system and
// Administrators can add anything while it is checked and removed. Empty text, or why not.
std::wstring CloseToUsers(const std::wstring& folder);

// Gives the entry itself (a link or junction is never followed) an owner and a protected list,
// and reads the owner back: some volumes keep none. With `expected`, only if the entry opened is
// that one (volume and file index): a name swapped meanwhile is left alone. Empty text, or why not.
std::wstring SetOwnerAndList(const std::wstring& path, const wchar_t* ownerSid, const wchar_t* sddl,
                             const BY_HANDLE_FILE_INFORMATION* expected = nullptr);

// Hands an entry (a link or junction itself, never followed) to Administrators with a list only
// they and the system may change: what a case made a standard user's is not left that way.
std::wstring HandToAdministrators(const std::wstring& path);

// What the list read back from an entry means, judged against the report's four entries and
// the owner the launcher gives what it makes.
struct AclVerdict {
    std::wstring sddl;     // the list as Windows prints it, for the person running the check
    std::wstring problem;  // empty when the meaning is exactly the report's
};
AclVerdict JudgeReportAcl(const std::wstring& path, bool directory);

// An entry's list (a protected one, set on the entry itself, never through a link), opened to one
// more account for one step and given back on every way out: `restored` once the step is over.
class ListGivenBack {
public:
    ListGivenBack(std::wstring path, const wchar_t* restored) : path_(std::move(path)), restored_(restored) {}
    ListGivenBack(const ListGivenBack&) = delete;
    ListGivenBack& operator=(const ListGivenBack&) = delete;
    ListGivenBack(ListGivenBack&&) = delete;
    ListGivenBack& operator=(ListGivenBack&&) = delete;
    ~ListGivenBack() { GiveBack(); }
    // Sets the list for the step; empty text, or why not.
    std::wstring Open(const std::wstring& sddl) const;
    // Gives the list back now, once; empty text, or why not.
    std::wstring GiveBack();

private:
    std::wstring path_;
    const wchar_t* restored_;
    bool done_ = false;
};

}  // namespace verify
