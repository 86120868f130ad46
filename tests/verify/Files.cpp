#include "Files.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "Handles.h"

namespace verify {
namespace {

constexpr DWORD kKeptBits = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
// The tree is the program's own and shallow; a deeper one means something went wrong.
constexpr int kMaxDepth = 16;
// FileDispositionInfoEx and two of its flags (FILE_DISPOSITION_INFORMATION_EX, Windows 10 1809
// and later), which mingw-w64 declares only for builds aimed at that release.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;

bool IsDots(const wchar_t* name) { return std::wstring_view(name) == L"." || std::wstring_view(name) == L".."; }

std::wstring Describe(const Entry& e) {
    if ((e.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        wchar_t tag[16];
        wsprintfW(tag, L"0x%08X", e.tag);
        return std::wstring(L"a reparse point (tag ") + tag + L")";
    }
    if ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return L"a directory";
    return L"a file of " + std::to_wstring(e.bytes.size()) + L" bytes with " + std::to_wstring(e.links) + L" name(s)";
}

void Walk(const std::wstring& root, const std::wstring& relative, int depth, Snapshot& out) {
    if (depth > kMaxDepth) return;
    WIN32_FIND_DATAW data{};
    const std::wstring folder = relative.empty() ? root : Join(root, relative);
    const UniqueFind search(FindFirstFileW(Join(folder, L"*").c_str(), &data));
    if (!search) return;
    do {
        if (IsDots(data.cFileName)) continue;
        Entry e{relative.empty() ? data.cFileName : Join(relative, data.cFileName), data.dwFileAttributes & kKeptBits,
                (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? data.dwReserved0 : 0, 0, {}};
        const std::wstring full = Join(root, e.name);
        if (e.attributes == 0) {
            const UniqueFile file(CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            BY_HANDLE_FILE_INFORMATION info{};
            if (file && GetFileInformationByHandle(file.get(), &info)) e.links = info.nNumberOfLinks;
            e.bytes = ReadWholeFile(full).value_or("(unreadable)");
        }
        const bool descend = e.attributes == FILE_ATTRIBUTE_DIRECTORY;
        const std::wstring name = e.name;
        out.push_back(std::move(e));
        if (descend) Walk(root, name, depth + 1, out);
    } while (FindNextFileW(search.get(), &data));
}

// Opens the entry a path names itself, never what a link there leads to. Without
// FILE_SHARE_DELETE, and with access that takes part in the share-access check (data, traverse
// or DELETE: MS-FSA 2.1.5.1.2.2), nobody can rename it away while it is held.
UniqueFile OpenEntry(const std::wstring& path, DWORD access) {
    return UniqueFile(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

std::wstring ErrorAt(const std::wstring& path) { return path + L" (error " + std::to_wstring(GetLastError()) + L")"; }

// The names in a directory, read through the handle that holds it: a second open by path
// could be refused by that handle's own sharing, or reach another entry.
bool ListThrough(HANDLE directory, std::vector<std::wstring>& names) {
    std::vector<DWORD> buffer(16 * 1024);
    const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
    for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;; kind = FileIdBothDirectoryInfo) {
        if (!GetFileInformationByHandleEx(directory, kind, buffer.data(), bytes)) return GetLastError() == ERROR_NO_MORE_FILES;
        const auto* at = reinterpret_cast<const BYTE*>(buffer.data());
        for (DWORD offset = 0;;) {
            const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at + offset);
            const std::wstring name(record->FileName, record->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") names.push_back(name);
            if (record->NextEntryOffset == 0) break;
            offset += record->NextEntryOffset;
        }
    }
}

// Removes the entry at the path through its own handle, and first, for a directory held by that
// handle, everything inside it.
std::wstring RemoveEntry(const std::wstring& path, int depth, const BY_HANDLE_FILE_INFORMATION* expected) {
    const UniqueFile entry = OpenEntry(path, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES |
                                                 FILE_WRITE_ATTRIBUTES | SYNCHRONIZE);
    if (!entry) return ErrorAt(path);
    BY_HANDLE_FILE_INFORMATION found{};
    if (expected != nullptr && (!GetFileInformationByHandle(entry.get(), &found) || !SameEntry(found, *expected))) {
        return path + L" is no longer the folder this program made: left alone";
    }
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(entry.get(), FileAttributeTagInfo, &info, sizeof info)) return ErrorAt(path);
    std::wstring failure;
    if ((info.FileAttributes & kKeptBits) == FILE_ATTRIBUTE_DIRECTORY) {
        if (depth > kMaxDepth) return path + L" lies deeper than this program ever makes";
        std::vector<std::wstring> names;
        if (!ListThrough(entry.get(), names)) return ErrorAt(path);
        for (const std::wstring& name : names) {
            const std::wstring inner = RemoveEntry(Join(path, name), depth + 1, nullptr);
            if (failure.empty()) failure = inner;
        }
    }
    if ((info.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        // Attributes belong to the file, not to one of its names: clearing the flag through a
        // second name would clear it on a file outside. Such a name goes with the flag ignored
        // (Windows 10 1809 and later), or stays.
        BY_HANDLE_FILE_INFORMATION names{};
        if (!GetFileInformationByHandle(entry.get(), &names) || names.nNumberOfLinks != 1) {
            DWORD ignoring = kDispositionDelete | kDispositionIgnoreReadOnly;
            if (SetFileInformationByHandle(entry.get(), kFileDispositionInfoEx, &ignoring, sizeof ignoring)) return failure;
            return failure.empty() ? path + L" is read-only and has more than one name: left as it is" : failure;
        }
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = (info.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) | FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(entry.get(), FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition, sizeof disposition) &&
        failure.empty()) {
        failure = ErrorAt(path);
    }
    return failure;
}

}  // namespace

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty() || folder.back() == L'\\') return folder + name;
    return folder + L'\\' + name;
}

std::optional<std::string> ReadWholeFile(const std::wstring& path, DWORD maxBytes) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &info, sizeof info) ||
        (info.FileAttributes & kKeptBits) != 0) {
        return std::nullopt;
    }
    return ReadThrough(file.get(), maxBytes);
}

std::optional<std::string> ReadThrough(HANDLE file, DWORD maxBytes) {
    LARGE_INTEGER size{};
    const LARGE_INTEGER start{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > maxBytes || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() &&
        (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size())) {
        return std::nullopt;
    }
    return bytes;
}

bool WriteNewFile(const std::wstring& path, const std::string& bytes) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
    if (!file) return false;
    DWORD put = 0;
    return bytes.empty() ||
           (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) && put == bytes.size());
}

EntryKind LookAt(const std::wstring& path) {
    EntryKind kind;
    WIN32_FIND_DATAW data{};
    const UniqueFind search(FindFirstFileW(path.c_str(), &data));
    if (!search) return kind;
    kind.attributes = data.dwFileAttributes;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) kind.tag = data.dwReserved0;
    return kind;
}

Snapshot TakeSnapshot(const std::wstring& folder) {
    Snapshot out;
    Walk(folder, {}, 0, out);
    std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return out;
}

std::wstring FirstDifference(const Snapshot& before, const Snapshot& after) {
    std::size_t i = 0, j = 0;
    while (i < before.size() || j < after.size()) {
        if (j == after.size() || (i < before.size() && before[i].name < after[j].name)) {
            return before[i].name + L" is gone (was " + Describe(before[i]) + L")";
        }
        if (i == before.size() || after[j].name < before[i].name) {
            return after[j].name + L" appeared (" + Describe(after[j]) + L")";
        }
        const Entry& a = before[i];
        const Entry& b = after[j];
        if (a.attributes != b.attributes || a.tag != b.tag || a.links != b.links) {
            return a.name + L" was " + Describe(a) + L", now " + Describe(b);
        }
        if (a.bytes != b.bytes) return a.name + L": its bytes changed";
        ++i;
        ++j;
    }
    return {};
}

bool SameEntry(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

std::wstring RemoveTree(const std::wstring& folder, const BY_HANDLE_FILE_INFORMATION* expected) {
    return RemoveEntry(folder, 0, expected);
}

std::wstring ReparsePointOnTheWay(const std::wstring& given) {
    // A path started as \\?\C:\... or \\?\UNC\server\share\... names the same levels.
    std::wstring folder = given;
    if (folder.rfind(L"\\\\?\\UNC\\", 0) == 0) folder = L"\\" + folder.substr(7);
    else if (folder.rfind(L"\\\\?\\", 0) == 0) folder = folder.substr(4);
    // Levels start after the drive ("C:\\") or the share ("\\\\server\\share\\").
    std::size_t level = 0;
    if (folder.size() >= 3 && folder[1] == L':' && folder[2] == L'\\') {
        level = 3;
    } else if (folder.rfind(L"\\\\", 0) == 0) {
        const std::size_t server = folder.find(L'\\', 2);
        const std::size_t share = server == std::wstring::npos ? server : folder.find(L'\\', server + 1);
        level = share == std::wstring::npos ? folder.size() : share + 1;
    } else {
        return folder + L" is neither on a drive nor on a share";
    }
    while (level < folder.size()) {
        const std::size_t end = std::min(folder.find(L'\\', level), folder.size());
        const std::wstring upTo = folder.substr(0, end);
        const EntryKind kind = LookAt(upTo);
        if (kind.attributes == INVALID_FILE_ATTRIBUTES) return upTo + L" cannot be read";
        if ((kind.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return upTo;
        level = end + 1;
    }
    return {};
}

}  // namespace verify
