#include "Acl.h"

#include <aclapi.h>
#include <sddl.h>

#include "Files.h"
#include "FolderJudge.h"
#include "Handles.h"
#include "Privilege.h"
#include "Scratch.h"
#include "Text.h"

namespace verify {
namespace {

// Users may add files and folders (and read) in what is made inside, as under C:\ProgramData;
// inherit-only, so the folder itself gives them nothing.
constexpr wchar_t kOpenFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;0x1301bf;;;BU)";
constexpr DWORD kUsersAddBoth = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
constexpr wchar_t kUsersSid[] = L"S-1-5-32-545";
// Only the system and Administrators may change it.
constexpr wchar_t kAdminsOnlySddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";

// The entry itself, never what a link there leads to.
UniqueFile OpenEntry(const std::wstring& path, DWORD access) {
    return UniqueFile(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

std::wstring SidText(PSID sid) {
    UniqueLocal<LPWSTR> text;
    return sid != nullptr && ConvertSidToStringSidW(sid, text.out()) ? std::wstring(text.get()) : std::wstring();
}

AceEntry ToEntry(const void* raw) {
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    AceEntry e;
    e.type = header->AceType == ACCESS_ALLOWED_ACE_TYPE  ? AceType::Allow
             : header->AceType == ACCESS_DENIED_ACE_TYPE ? AceType::Deny
                                                         : AceType::Other;
    e.objectInherit = (header->AceFlags & OBJECT_INHERIT_ACE) != 0;
    e.containerInherit = (header->AceFlags & CONTAINER_INHERIT_ACE) != 0;
    e.noPropagate = (header->AceFlags & NO_PROPAGATE_INHERIT_ACE) != 0;
    e.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    e.inherited = (header->AceFlags & INHERITED_ACE) != 0;
    if (e.type != AceType::Other) {
        // Allow and deny entries share this layout: header, mask, then the SID.
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        e.mask = ace->Mask;
        e.sid = SidText(const_cast<DWORD*>(&ace->SidStart));
    }
    return e;
}

// Sets a protected list on the folder itself, through its handle: nothing is passed on to what
// it holds, and a link or junction put in its place is not followed.
std::wstring SetFolderList(const std::wstring& folder, const wchar_t* sddl, UniqueFile& entry) {
    UniqueLocal<PSECURITY_DESCRIPTOR> wanted;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, wanted.out(), nullptr)) {
        return ErrorText(L"converting the folder's list", GetLastError());
    }
    entry = OpenEntry(folder, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES);
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!entry || !GetFileInformationByHandleEx(entry.get(), FileAttributeTagInfo, &info, sizeof info)) {
        return ErrorText(L"opening the folder itself", GetLastError());
    }
    if ((info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY) {
        return folder + L" is no plain folder";
    }
    if (!SetKernelObjectSecurity(entry.get(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 wanted.get())) {
        return ErrorText(L"setting the folder's list", GetLastError());
    }
    return {};
}

}  // namespace

bool ReadAccessList(HANDLE entry, AccessList& list, std::wstring& sddl) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    const DWORD read = GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       &owner, nullptr, &dacl, nullptr, descriptor.out());
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL unused = nullptr;
    if (read != ERROR_SUCCESS) {
        SetLastError(read);
        return false;
    }
    if (!GetSecurityDescriptorControl(descriptor.get(), &control, &revision) ||
        !GetSecurityDescriptorDacl(descriptor.get(), &present, &unused, &defaulted)) {
        return false;
    }
    list = AccessList{};
    list.owner = SidText(owner);
    list.present = present && dacl != nullptr;
    list.isProtected = (control & SE_DACL_PROTECTED) != 0;
    list.autoInherited = (control & SE_DACL_AUTO_INHERITED) != 0;
    UniqueLocal<LPWSTR> text;
    sddl = ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1,
                                                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                                text.out(), nullptr)
               ? std::wstring(text.get())
               : std::wstring(L"(no text)");
    if (!list.present) return true;
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) return false;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) return false;
        list.entries.push_back(ToEntry(raw));
    }
    return true;
}

std::wstring DefaultOwnerSid() {
    UniqueKernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return {};
    BYTE buffer[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenOwner, buffer, sizeof buffer, &size)) return {};
    return SidText(reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner);
}

std::wstring OpenToUsers(const std::wstring& folder) {
    UniqueFile entry;
    std::wstring why = SetFolderList(folder, kOpenFolderSddl, entry);
    if (!why.empty()) return why;
    // Read back: a file system that keeps no lists answers with one made up, not this one.
    AccessList list;
    std::wstring sddl;
    if (!ReadAccessList(entry.get(), list, sddl)) return ErrorText(L"reading the folder's list back", GetLastError());
    bool usersAdd = false;
    for (const AceEntry& e : list.entries) {
        usersAdd = usersAdd || (e.type == AceType::Allow && e.objectInherit && e.containerInherit &&
                                (e.mask & kUsersAddBoth) == kUsersAddBoth && e.sid == kUsersSid);
    }
    // Only the entries matter here: the folder's owner is the account running this program.
    AccessList entries = list;
    entries.owner = kAdministratorsSid;
    if (!list.isProtected || !usersAdd || !WhoElseMayChange(entries, FolderRole::Own).empty()) {
        return L"a list set on a folder does not read back (set " + std::wstring(kOpenFolderSddl) + L", read " + sddl +
               L"): this system stores no access lists";
    }
    return {};
}

std::wstring CloseToUsers(const std::wstring& folder) {
    UniqueFile entry;
    return SetFolderList(folder, kScratchSddl, entry);
}

std::wstring SetOwnerAndList(const std::wstring& path, const wchar_t* ownerSid, const wchar_t* sddl,
                             const BY_HANDLE_FILE_INFORMATION* expected) {
    const UniqueFile entry(CreateFileW(path.c_str(), WRITE_OWNER | WRITE_DAC | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!entry) return ErrorText(L"opening the entry itself", GetLastError());
    BY_HANDLE_FILE_INFORMATION found{};
    if (expected != nullptr && (!GetFileInformationByHandle(entry.get(), &found) || !SameEntry(found, *expected))) {
        return path + L" is no longer the entry this program made: its owner and list are left alone";
    }
    UniqueLocal<PSID> owner;
    UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    if (!ConvertStringSidToSidW(ownerSid, owner.out()) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.out(), nullptr)) {
        return ErrorText(L"building the owner and list", GetLastError());
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &list, &defaulted)) {
        return ErrorText(L"GetSecurityDescriptorDacl", GetLastError());
    }
    {
        // Naming any owner but oneself takes the restore privilege, which an elevated
        // administrator holds but has not switched on; it goes off again at once.
        EnabledPrivilege restore;
        const std::wstring why = restore.Enable(L"SeRestorePrivilege");
        if (!why.empty()) return why;
        const DWORD set = SetSecurityInfo(entry.get(), SE_FILE_OBJECT,
                                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                              PROTECTED_DACL_SECURITY_INFORMATION,
                                          owner.get(), nullptr, list, nullptr);
        if (set != ERROR_SUCCESS) return ErrorText(L"SetSecurityInfo", set);
    }
    PSID readOwner = nullptr;
    UniqueLocal<PSECURITY_DESCRIPTOR> readBack;
    if (GetSecurityInfo(entry.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &readOwner, nullptr, nullptr,
                        nullptr, readBack.out()) != ERROR_SUCCESS ||
        readOwner == nullptr || !EqualSid(readOwner, owner.get())) {
        return L"the owner of " + path + L" did not stick";
    }
    return {};
}

std::wstring HandToAdministrators(const std::wstring& path) {
    return SetOwnerAndList(path, kAdministratorsSid, kAdminsOnlySddl);
}

// A protected list on the entry itself, through a handle that is no link or junction; its owner
// stays as it is.
std::wstring SetProtectedList(const std::wstring& path, const wchar_t* sddl) {
    UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.out(), nullptr) ||
        !GetSecurityDescriptorDacl(descriptor.get(), &present, &list, &defaulted)) {
        return ErrorText(L"building the list", GetLastError());
    }
    const UniqueFile entry = OpenEntry(path, WRITE_DAC | READ_CONTROL | FILE_READ_ATTRIBUTES);
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!entry || !GetFileInformationByHandleEx(entry.get(), FileAttributeTagInfo, &info, sizeof info)) {
        return ErrorText(L"opening " + path + L" itself", GetLastError());
    }
    if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return path + L" is a link or junction";
    const DWORD set = SetSecurityInfo(entry.get(), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      list, nullptr);
    return set == ERROR_SUCCESS ? std::wstring() : ErrorText(L"setting the list of " + path, set);
}

std::wstring ListGivenBack::Open(const std::wstring& sddl) const { return SetProtectedList(path_, sddl.c_str()); }

std::wstring ListGivenBack::GiveBack() {
    if (done_) return {};
    done_ = true;
    return SetProtectedList(path_, restored_);
}

AclVerdict JudgeReportAcl(const std::wstring& path, bool directory) {
    AclVerdict verdict;
    const UniqueFile entry = OpenEntry(path, READ_CONTROL);
    AccessList list;
    if (!entry || !ReadAccessList(entry.get(), list, verdict.sddl)) {
        verdict.problem = ErrorText(L"reading the list", GetLastError());
        return verdict;
    }
    verdict.problem = JudgeReportList(list, directory, DefaultOwnerSid());
    if (!verdict.problem.empty()) verdict.problem += L"; read back " + verdict.sddl;
    return verdict;
}

}  // namespace verify
