#include "Files.h"

#include <algorithm>
#include <cstddef>

#include "Handles.h"

namespace verify {
namespace {

constexpr DWORD kKeptBits = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
// Every file the cases write is a few dozen bytes; anything bigger is read no further.
constexpr DWORD kMaxRead = 64 * 1024;
// The tree is the program's own and shallow; a deeper one means something went wrong.
constexpr int kMaxDepth = 16;

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

}  // namespace

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty() || folder.back() == L'\\') return folder + name;
    return folder + L'\\' + name;
}

std::optional<std::string> ReadWholeFile(const std::wstring& path) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxRead) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() && (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) ||
                           got != bytes.size())) {
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

std::wstring RemoveTree(const std::wstring& folder) {
    std::wstring failure;
    const auto note = [&failure](bool removed, const std::wstring& path) {
        if (!removed && failure.empty()) failure = path + L" (error " + std::to_wstring(GetLastError()) + L")";
    };
    {
        WIN32_FIND_DATAW data{};
        const UniqueFind search(FindFirstFileW(Join(folder, L"*").c_str(), &data));
        if (search) {
            do {
                if (IsDots(data.cFileName)) continue;
                const std::wstring full = Join(folder, data.cFileName);
                const DWORD a = data.dwFileAttributes;
                if ((a & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                    // The link or junction itself; what it points to is left alone.
                    note((a & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(full.c_str()) : DeleteFileW(full.c_str()),
                         full);
                } else if ((a & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    const std::wstring inner = RemoveTree(full);
                    if (failure.empty()) failure = inner;
                } else {
                    if ((a & FILE_ATTRIBUTE_READONLY) != 0) SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                    note(DeleteFileW(full.c_str()), full);
                }
            } while (FindNextFileW(search.get(), &data));
        }
    }
    note(RemoveDirectoryW(folder.c_str()), folder);
    return failure;
}

}  // namespace verify
