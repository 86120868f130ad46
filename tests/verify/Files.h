#pragma once

// File helpers of the verification program. None of them follows a link or a junction:
// they look at, and remove, only the entries that are really inside the scratch folder.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace verify {

std::wstring Join(const std::wstring& folder, const std::wstring& name);

// Every file the cases write is a few dozen bytes; anything bigger is read no further.
inline constexpr DWORD kMaxCaseFile = 64 * 1024;

// The whole of the plain file a path names, or nothing when it cannot be opened, is a link, a
// device or a directory, or is larger than `maxBytes`.
std::optional<std::string> ReadWholeFile(const std::wstring& path, DWORD maxBytes = kMaxCaseFile);
// The whole of an open plain file, from its start, through its handle; nothing when it is larger
// than `maxBytes` or cannot be read.
std::optional<std::string> ReadThrough(HANDLE file, DWORD maxBytes);
bool WriteNewFile(const std::wstring& path, const std::string& bytes);

// The entry a path names itself: its attributes and, for a reparse point, its tag.
struct EntryKind {
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    DWORD tag = 0;
};
EntryKind LookAt(const std::wstring& path);

// Everything under a folder, reparse points listed but never entered; files with their bytes
// and link count, so a write through a second name shows too.
struct Entry {
    std::wstring name;  // relative to the folder
    DWORD attributes;   // only the directory and reparse-point bits
    DWORD tag;
    DWORD links;
    std::string bytes;
};
using Snapshot = std::vector<Entry>;
Snapshot TakeSnapshot(const std::wstring& folder);

// The first difference in words, or an empty text when the two are the same.
std::wstring FirstDifference(const Snapshot& before, const Snapshot& after);

// Whether two reads of an entry's information name the same entry (volume and file index).
bool SameEntry(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b);

// Removes a folder and what it holds, each entry through a handle to the entry itself: a link or
// junction goes as itself, and nothing is followed. Empty text when all is gone, else the first
// entry that stayed and why. With `expected`, the folder is removed only if its handle shows the
// same entry (volume and file index).
std::wstring RemoveTree(const std::wstring& folder, const BY_HANDLE_FILE_INFORMATION* expected = nullptr);

// The first level of a folder's path, from the drive or share down to the folder itself, that is
// a reparse point (a link, junction or mount point), or an empty text.
std::wstring ReparsePointOnTheWay(const std::wstring& folder);

}  // namespace verify
