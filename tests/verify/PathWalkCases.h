#pragma once

// The cases for links on the report path: a junction a standard user owns, one Administrators
// own, and a directory symbolic link (at the report's name also a file and a dangling symbolic
// link) are refused at every level of the path, the current directory's included, each after a
// control through a plain folder was written in the same case.

#include <vector>

#include "Cases.h"

namespace verify {

// What a planted target holds, so that a write through a link there would show.
inline constexpr char kKept[] = "Version=99.99.99.99-previous\r\nand a second line that must not change\r\n";
inline constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";
// A junction's own list when nobody but the system and Administrators may change it, so that its
// owner alone decides.
inline constexpr wchar_t kAdminsOnlySddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
// As an administrator's folder below C:\ProgramData gets it: users may write its data and
// attributes.
inline constexpr wchar_t kUsersMayWriteSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x116;;;BU)";

std::vector<Case> PathWalkCases();

// Makes an entry (a junction) look made by a standard user: that user's SID as its owner, set
// with the restore privilege, and a list only administrators may change.
// Empty text when the owner reads back, else why not.
std::wstring OwnedByAStandardUser(const std::wstring& path);

}  // namespace verify
