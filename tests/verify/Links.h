#pragma once

// Makes the links and junctions the cases plant. Each returns an empty text when the entry
// is really there afterwards, or why it could not be made: some systems report success and
// make nothing, so the result is always looked at rather than trusted.

#include <windows.h>

#include <string>

namespace verify {

std::wstring MakeSymbolicLink(const std::wstring& link, const std::wstring& target, bool directory);
// A mount-point reparse point on a new empty directory; unlike a symbolic link it needs no privilege.
// With `made`, the identity of the directory the reparse point was set on, read through the handle
// that set it: a later open by name can tell whether that name still stands for it.
std::wstring MakeJunction(const std::wstring& link, const std::wstring& targetFolder,
                          BY_HANDLE_FILE_INFORMATION* made = nullptr);
// The same on an existing empty directory, through an open for its attributes alone, as another
// user may do to a folder whose attributes they may write while someone else holds it.
std::wstring TurnIntoJunction(const std::wstring& emptyFolder, const std::wstring& targetFolder);
std::wstring MakeHardLink(const std::wstring& link, const std::wstring& existingFile);

}  // namespace verify
