#pragma once

// File helpers of the verification program. None of them follows a link or a junction:
// they look at, and remove, only the entries that are really inside the scratch folder.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace verify {

std::wstring Join(const std::wstring& folder, const std::wstring& name);

// The whole file, or nothing when it cannot be opened (or is larger than the bench ever writes).
std::optional<std::string> ReadWholeFile(const std::wstring& path);
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

// Removes a folder and what it holds; a link or junction inside goes as itself. Empty text when
// all is gone, else the first entry that stayed and why.
std::wstring RemoveTree(const std::wstring& folder);

}  // namespace verify
