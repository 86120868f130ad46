#pragma once

// The list a case puts on an entry where another account must act for a moment: the system and
// Administrators, and that one account with the rights the step needs, nothing passed on to what
// is made inside and nothing inherited. Plain text out, tested on Linux too.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace verify {

// What such an entry gets back once the step is over: the system and Administrators only.
inline constexpr std::wstring_view kAdminsOnlyList = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// A folder in which the account makes one folder (a junction to be): list and look at it,
// pass through it, add a folder. Nothing that deletes, renames or re-permits anything.
inline constexpr std::uint32_t kAddOneFolderRights = 0x001200A5;   // READ_CONTROL, SYNCHRONIZE, LIST, ADD_SUBDIRECTORY, TRAVERSE, READ_ATTRIBUTES
// A folder the account only passes through and looks at.
inline constexpr std::uint32_t kLookInFolderRights = 0x001200A9;   // READ_CONTROL, SYNCHRONIZE, LIST, READ_EA, TRAVERSE, READ_ATTRIBUTES
// A file the account reads and rewrites in place (PowerShell's `>` target): FILE_GENERIC_READ
// and FILE_GENERIC_WRITE, without DELETE, WRITE_DAC or WRITE_OWNER.
inline constexpr std::uint32_t kRewriteFileRights = 0x0012019F;

// "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x...;;;<account>)"; nullopt when `accountSid` is not one
// person's account (the system account, a group such as Users, Authenticated Users or
// Everyone, anything but an S-1-5-21-... or S-1-12-1-... account SID), or when `rights` would let
// it delete the entry, rewrite its list, take it over or hold generic rights: then the entry
// would be open to more than the one step.
std::optional<std::wstring> OneAccountList(const std::wstring& accountSid, std::uint32_t rights);

}  // namespace verify
