#include "Links.h"

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "Files.h"
#include "Handles.h"
#include "Text.h"

namespace verify {
namespace {

constexpr std::size_t kMaxReparseBuffer = 16 * 1024;

// The fixed part of a mount-point reparse buffer; the two names follow it.
struct MountPointHeader {
    DWORD tag;
    WORD dataLength;  // everything after these first eight bytes
    WORD reserved;
    WORD substituteOffset;
    WORD substituteLength;
    WORD printOffset;
    WORD printLength;
};
static_assert(sizeof(MountPointHeader) == 16, "the layout the file system reads");

std::wstring ErrorText(const wchar_t* what) { return verify::ErrorText(what, GetLastError()); }

std::wstring Expect(const std::wstring& path, DWORD tag, const wchar_t* what) {
    const EntryKind kind = LookAt(path);
    if (kind.attributes == INVALID_FILE_ATTRIBUTES) {
        return std::wstring(what) + L" reported success, yet nothing is at the path";
    }
    if ((kind.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return std::wstring(what) + L" reported success, yet the entry is no reparse point";
    }
    if (kind.tag != tag) {
        wchar_t text[64];
        wsprintfW(text, L" reported success, yet the reparse tag is 0x%08X", kind.tag);
        return what + std::wstring(text);
    }
    return {};
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD need = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (need == 0) return {};
    std::wstring full(need, L'\0');
    const DWORD got = GetFullPathNameW(path.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) return {};
    full.resize(got);
    return full;
}

}  // namespace

std::wstring MakeSymbolicLink(const std::wstring& link, const std::wstring& target, bool directory) {
    const DWORD kind = directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    // Without the privilege, a machine in developer mode still makes links when asked this
    // way; systems before that flag refuse it, so it is only the second try.
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), kind) &&
        (GetLastError() != ERROR_PRIVILEGE_NOT_HELD ||
         !CreateSymbolicLinkW(link.c_str(), target.c_str(), kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))) {
        return ErrorText(L"CreateSymbolicLinkW");
    }
    return Expect(link, IO_REPARSE_TAG_SYMLINK, L"CreateSymbolicLinkW");
}

namespace {

// The mount-point reparse data for a junction to `targetFolder`, or why there can be none.
std::wstring JunctionData(const std::wstring& targetFolder, std::vector<BYTE>& buffer) {
    const std::wstring print = FullPath(targetFolder);
    // A junction names its target as an NT path; a share or a relative name cannot be one.
    if (print.size() < 3 || print[1] != L':' || print[2] != L'\\') return L"the scratch folder is not on a drive letter";
    const std::wstring substitute = L"\\??\\" + print;

    const std::size_t substituteBytes = substitute.size() * sizeof(wchar_t);
    const std::size_t printBytes = print.size() * sizeof(wchar_t);
    // Both names are stored with a terminator that their lengths leave out.
    const std::size_t namesBytes = substituteBytes + printBytes + 2 * sizeof(wchar_t);
    const std::size_t total = sizeof(MountPointHeader) + namesBytes;
    if (total > kMaxReparseBuffer) return L"the scratch folder's path is too long for a junction";

    MountPointHeader header{};
    header.tag = IO_REPARSE_TAG_MOUNT_POINT;
    header.dataLength = static_cast<WORD>(total - 8);
    header.substituteOffset = 0;
    header.substituteLength = static_cast<WORD>(substituteBytes);
    header.printOffset = static_cast<WORD>(substituteBytes + sizeof(wchar_t));
    header.printLength = static_cast<WORD>(printBytes);
    buffer.assign(total, 0);
    std::memcpy(buffer.data(), &header, sizeof header);
    std::memcpy(buffer.data() + sizeof header, substitute.c_str(), substituteBytes);
    std::memcpy(buffer.data() + sizeof header + header.printOffset, print.c_str(), printBytes);
    return {};
}

std::wstring SetJunction(HANDLE folder, const std::wstring& link, const std::wstring& targetFolder) {
    std::vector<BYTE> buffer;
    const std::wstring why = JunctionData(targetFolder, buffer);
    if (!why.empty()) return why;
    DWORD returned = 0;
    if (!DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, 0,
                         &returned, nullptr)) {
        return ErrorText(L"setting a mount point (FSCTL_SET_REPARSE_POINT)");
    }
    return Expect(link, IO_REPARSE_TAG_MOUNT_POINT, L"FSCTL_SET_REPARSE_POINT");
}

}  // namespace

std::wstring MakeJunction(const std::wstring& link, const std::wstring& targetFolder,
                          BY_HANDLE_FILE_INFORMATION* made) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) return ErrorText(L"CreateDirectoryW");
    const UniqueFile folder(CreateFileW(link.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) return ErrorText(L"opening the new directory");
    if (made != nullptr && !GetFileInformationByHandle(folder.get(), made)) return ErrorText(L"reading the new directory");
    return SetJunction(folder.get(), link, targetFolder);
}

// Write-attributes access is enough (MS-FSA 2.1.5.10.37), and an open asking for nothing else
// takes no part in the share-access check: whoever holds the folder cannot keep it from this.
std::wstring TurnIntoJunction(const std::wstring& emptyFolder, const std::wstring& targetFolder) {
    const UniqueFile folder(CreateFileW(emptyFolder.c_str(), FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) return ErrorText(L"opening the folder for its attributes");
    return SetJunction(folder.get(), emptyFolder, targetFolder);
}

std::wstring MakeHardLink(const std::wstring& link, const std::wstring& existingFile) {
    if (!CreateHardLinkW(link.c_str(), existingFile.c_str(), nullptr)) return ErrorText(L"CreateHardLinkW");
    const UniqueFile file(CreateFileW(link.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.get(), &info)) return ErrorText(L"reading the new link");
    if (info.nNumberOfLinks != 2) return L"CreateHardLinkW reported success, yet the file has not two names";
    return {};
}

}  // namespace verify
