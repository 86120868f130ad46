#include "Acl.h"

#include <windows.h>

#include <sddl.h>

#include <vector>

#include "AclJudge.h"
#include "Handles.h"
#include "Scratch.h"
#include "Text.h"

namespace verify {
namespace {

// Users may add files and folders (and read); inherited by both, so without protection a
// new entry inside would get this too.
constexpr wchar_t kOpenFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)";
constexpr DWORD kUsersAddBoth = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;

// The entry itself, never what a link there leads to.
UniqueFile OpenEntry(const std::wstring& path, DWORD access) {
    return UniqueFile(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// A descriptor read through a handle, in a buffer of its own.
struct ReadDescriptor {
    std::vector<BYTE> bytes;
    PSECURITY_DESCRIPTOR get() { return bytes.data(); }
};

bool ReadSecurity(HANDLE entry, ReadDescriptor& out) {
    DWORD need = 0;
    GetKernelObjectSecurity(entry, DACL_SECURITY_INFORMATION, nullptr, 0, &need);
    if (need == 0) return false;
    out.bytes.assign(need, 0);
    return GetKernelObjectSecurity(entry, DACL_SECURITY_INFORMATION, out.get(), need, &need) != 0;
}

std::wstring SddlOf(PSECURITY_DESCRIPTOR descriptor) {
    UniqueLocal<LPWSTR> text;
    return ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                text.out(), nullptr)
               ? std::wstring(text.get())
               : std::wstring();
}

std::wstring SidText(PSID sid) {
    UniqueLocal<LPWSTR> text;
    return ConvertSidToStringSidW(sid, text.out()) ? std::wstring(text.get()) : L"(unreadable SID)";
}

// The list as plain entries for the judge; false when it cannot be read.
bool ToAccessList(PSECURITY_DESCRIPTOR descriptor, AccessList& list) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        return false;
    }
    list.present = present && dacl != nullptr;
    list.isProtected = (control & SE_DACL_PROTECTED) != 0;
    if (!list.present) return true;
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) return false;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) return false;
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
        list.entries.push_back(e);
    }
    return true;
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

std::wstring OpenToUsers(const std::wstring& folder) {
    UniqueFile entry;
    std::wstring why = SetFolderList(folder, kOpenFolderSddl, entry);
    if (!why.empty()) return why;
    // Read back: a file system that keeps no lists answers with one made up, not this one.
    ReadDescriptor stored;
    AccessList list;
    if (!ReadSecurity(entry.get(), stored) || !ToAccessList(stored.get(), list)) {
        return ErrorText(L"reading the folder's list back", GetLastError());
    }
    bool usersAdd = false;
    for (const AceEntry& e : list.entries) {
        usersAdd = usersAdd || (e.type == AceType::Allow && e.objectInherit && e.containerInherit &&
                                (e.mask & kUsersAddBoth) == kUsersAddBoth && e.sid == L"S-1-5-32-545");
    }
    if (!list.isProtected || !usersAdd) {
        return L"a list set on a folder does not read back (set " + std::wstring(kOpenFolderSddl) + L", read " +
               SddlOf(stored.get()) + L"): this system stores no access lists";
    }
    return {};
}

std::wstring CloseToUsers(const std::wstring& folder) {
    UniqueFile entry;
    return SetFolderList(folder, kScratchSddl, entry);
}

AclVerdict JudgeReportAcl(const std::wstring& path, bool directory) {
    AclVerdict verdict;
    const UniqueFile entry = OpenEntry(path, READ_CONTROL);
    ReadDescriptor descriptor;
    AccessList list;
    if (!entry || !ReadSecurity(entry.get(), descriptor) || !ToAccessList(descriptor.get(), list)) {
        verdict.problem = ErrorText(L"reading the list", GetLastError());
        return verdict;
    }
    verdict.sddl = SddlOf(descriptor.get());
    verdict.problem = JudgeReportList(list, directory);
    if (!verdict.problem.empty()) verdict.problem += L"; read back " + (verdict.sddl.empty() ? L"(no text)" : verdict.sddl);
    return verdict;
}

}  // namespace verify
