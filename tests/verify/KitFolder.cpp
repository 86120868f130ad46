#include "KitFolder.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "Acl.h"
#include "FolderJudge.h"
#include "Handles.h"
#include "Text.h"

namespace verify {
namespace {

constexpr DWORD kLongPath = 32768;

UniqueFile OpenLevel(const std::wstring& path) {
    return UniqueFile(CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// The path a handle resolves to, as a drive path ("C:\\...") or a share's ("\\\\?\\UNC\\...").
std::optional<std::wstring> FinalPath(HANDLE entry) {
    std::wstring path(kLongPath, L'\0');
    const DWORD got = GetFinalPathNameByHandleW(entry, path.data(), kLongPath, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (got == 0 || got >= kLongPath) return std::nullopt;
    path.resize(got);
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return path;
    if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
    return path;
}

bool OnADrive(const std::wstring& path) { return path.size() >= 3 && path[1] == L':' && path[2] == L'\\'; }

}  // namespace

std::wstring WhyNotTrusted(const std::wstring& folder, const std::wstring& account, std::wstring& mend) {
    const UniqueFile held = OpenLevel(folder);
    if (!held) return ErrorText(L"opening " + folder, GetLastError());
    const std::optional<std::wstring> real = FinalPath(held.get());
    if (!real) return ErrorText(L"reading where " + folder + L" lies", GetLastError());
    // On a share the server judges every open by name: nothing here can hold its levels.
    if (!OnADrive(*real)) return folder + L" lies on a network share (" + *real + L"); use a local NTFS drive";
    const std::wstring root = real->substr(0, 3);
    if (GetDriveTypeW(root.c_str()) == DRIVE_REMOTE) return folder + L" lies on a network drive; use a local NTFS drive";
    std::vector<std::wstring> levels{root};
    for (std::size_t at = root.size(); at < real->size();) {
        const std::size_t slash = std::min(real->find(L'\\', at), real->size());
        if (slash > at) levels.push_back(real->substr(0, slash));
        at = slash + 1;
    }
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const UniqueFile entry = OpenLevel(levels[i]);
        AccessList list;
        std::wstring sddl;
        if (!entry || !ReadAccessList(entry.get(), list, sddl)) {
            return ErrorText(L"reading the owner and list of " + levels[i], GetLastError()) +
                   L": where lists cannot be read, nothing shows who may change the folder";
        }
        std::wstring blamed;
        const std::wstring who =
            WhoElseMayChange(list, i + 1 == levels.size() ? FolderRole::Own : FolderRole::Above, &blamed);
        if (who.empty()) continue;
        // Only what the administrator made for this program is mended so, the folder itself or the
        // one above: a folder further up (a profile, a drive's root) is another's to look after.
        if (!account.empty() && blamed == account && i > 0 && i + 2 >= levels.size()) mend = MendCommands(levels[i]);
        return levels[i] + L": " + who + L"; read " + sddl;
    }
    return {};
}

std::wstring WhyFileNotTrusted(HANDLE file, const std::wstring& path, const std::wstring& folder,
                               const std::wstring& account, std::wstring& mend) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return ErrorText(L"reading " + path, GetLastError());
    if (info.nNumberOfLinks != 1) {
        return path + L" has " + std::to_wstring(info.nNumberOfLinks) +
               L" names: another of them may lie in a folder nobody judged; copy the file to a new one";
    }
    AccessList list;
    std::wstring sddl;
    if (!ReadAccessList(file, list, sddl)) return ErrorText(L"reading the owner and list of " + path, GetLastError());
    std::wstring blamed;
    const std::wstring who = WhoElseMayChange(list, FolderRole::File, &blamed);
    if (who.empty()) return {};
    if (!account.empty() && blamed == account) mend = MendCommands(folder);
    return path + L": " + who + L"; read " + sddl;
}

}  // namespace verify
