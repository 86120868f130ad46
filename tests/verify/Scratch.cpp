#include "Scratch.h"

#include <sddl.h>

#include <string_view>

#include "Acl.h"
#include "FolderJudge.h"
#include "Files.h"
#include "Text.h"

namespace verify {
namespace {

// Listing and reading only: the launcher walks through this folder too, and it opens every
// level without FILE_SHARE_DELETE, which a handle holding DELETE here would refuse it.
constexpr DWORD kHeldAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
constexpr wchar_t kTempName[] = L"temp";
// "O:BA" at the start of kScratchSddl.
constexpr std::size_t kOwnerPartLength = 4;
static_assert(std::wstring_view(kScratchSddl).substr(0, kOwnerPartLength) == L"O:BA", "the owner comes first");

std::wstring ErrorText(const wchar_t* what) { return WithError(what, GetLastError()); }

}  // namespace

std::wstring Scratch::Create(const std::wstring& path) {
    // Owned by Administrators where the account may name them owner (a group of its token marked
    // for it); else by its own default owner, which the judge of the list read back then weighs.
    for (const wchar_t* sddl : {kScratchSddl, kScratchSddl + kOwnerPartLength}) {
        UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.out(), nullptr)) {
            return ErrorText(L"the scratch folder's list does not convert");
        }
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
        // A new folder, never one already there: everything the cases touch lies inside it.
        if (CreateDirectoryW(path.c_str(), &attributes)) break;
        if (GetLastError() != ERROR_INVALID_OWNER || sddl != kScratchSddl) {
            return ErrorText((L"cannot create " + path).c_str());
        }
    }
    path_ = path;
    held_.reset(CreateFileW(path.c_str(), kHeldAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!held_ || !GetFileInformationByHandle(held_.get(), &identity_)) {
        return ErrorText((L"cannot hold " + path).c_str());
    }
    if ((identity_.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
        FILE_ATTRIBUTE_DIRECTORY) {
        return path + L" is not the plain folder just made";
    }
    // Only this program's runs of the launcher write here: whatever appears is theirs to remove.
    if (!CreateDirectoryW(TempFolder().c_str(), nullptr)) return ErrorText((L"cannot create " + TempFolder()).c_str());
    return {};
}

std::wstring Scratch::TempFolder() const { return Join(path_, kTempName); }

std::wstring Scratch::ListReadBack(std::wstring& problem) const {
    AccessList list;
    std::wstring sddl;
    if (!ReadAccessList(held_.get(), list, sddl)) {
        problem = L"its list cannot be read";
        return ErrorText(L"unreadable");
    }
    problem = WhoElseMayChange(list, FolderRole::Scratch);
    return sddl;
}

std::wstring Scratch::Remove() {
    if (path_.empty()) return {};
    // Let go, since removing takes DELETE access; whatever stands at the path then is removed
    // only if it is the folder this program made.
    held_.reset();
    return RemoveTree(path_, &identity_);
}

}  // namespace verify
