#pragma once

// Access lists: opening a case's folder to every user and closing it again, and judging what a
// created entry got.

#include <string>

namespace verify {

// Gives a folder a protected list that lets Users create files and folders in it, inherited
// by both. Empty text when that list reads back; otherwise why not (some systems store none).
std::wstring OpenToUsers(const std::wstring& folder);

// Gives the folder back the scratch folder's list, so that nobody but the system and
// Administrators can add anything while it is checked and removed. Empty text, or why not.
std::wstring CloseToUsers(const std::wstring& folder);

// What the list read back from an entry means, judged against the report's four entries.
struct AclVerdict {
    std::wstring sddl;     // the list as Windows prints it, for the person running the check
    std::wstring problem;  // empty when the meaning is exactly the report's
};
AclVerdict JudgeReportAcl(const std::wstring& path, bool directory);

}  // namespace verify
