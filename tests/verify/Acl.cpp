#include "Acl.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <array>
#include <cstddef>

#include "Handles.h"

namespace verify {
namespace {

// Users may add files and folders (and read); inherited by both, so without protection a
// new entry inside would get this too.
constexpr wchar_t kOpenFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)";

struct Expected {
    WELL_KNOWN_SID_TYPE sid;
    const wchar_t* name;
    BYTE type;
    ACCESS_MASK rights;
};
// The report's list, D:P(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGX;;;AU)(A;OICI;GA;;;BA),
// with its generic rights mapped the way the file system maps them.
const std::array<Expected, 4> kReportEntries{{
    {WinBuiltinGuestsSid, L"BG", ACCESS_DENIED_ACE_TYPE, FILE_ALL_ACCESS},
    {WinAnonymousSid, L"AN", ACCESS_DENIED_ACE_TYPE, FILE_ALL_ACCESS},
    {WinAuthenticatedUserSid, L"AU", ACCESS_ALLOWED_ACE_TYPE, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},
    {WinBuiltinAdministratorsSid, L"BA", ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS},
}};

ACCESS_MASK MapToFileRights(ACCESS_MASK mask) {
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    MapGenericMask(&mask, &mapping);
    return mask;
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

std::wstring SidText(PSID sid) {
    UniqueLocal<LPWSTR> text;
    if (!ConvertSidToStringSidW(sid, text.out())) return L"(unreadable SID)";
    return text.get();
}

std::wstring Hex(ACCESS_MASK mask) {
    wchar_t text[16];
    wsprintfW(text, L"0x%08X", mask);
    return text;
}

// The entries of a list, each of the report's principals with the rights that apply to the
// entry itself, to files made inside it and to folders made inside it.
struct Meaning {
    std::array<ACCESS_MASK, 4> self{}, files{}, folders{};
    std::wstring problem;
};

Meaning Read(PACL dacl) {
    Meaning m;
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) {
        m.problem = L"the list cannot be read";
        return m;
    }
    bool allowSeen = false;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) {
            m.problem = L"entry " + std::to_wstring(i) + L" cannot be read";
            return m;
        }
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) {
            m.problem = L"entry " + std::to_wstring(i) + L" is neither allow nor deny";
            return m;
        }
        // Allow and deny entries share this layout: header, mask, then the SID.
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        PSID sid = const_cast<DWORD*>(&ace->SidStart);
        const BYTE flags = header->AceFlags;
        if ((flags & INHERITED_ACE) != 0) {
            m.problem = L"an entry for " + SidText(sid) + L" was inherited from the folder above";
            return m;
        }
        if ((flags & NO_PROPAGATE_INHERIT_ACE) != 0) {
            m.problem = L"an entry for " + SidText(sid) + L" stops at the next level";
            return m;
        }
        std::size_t who = kReportEntries.size();
        for (std::size_t k = 0; k < kReportEntries.size(); ++k) {
            if (kReportEntries[k].type == header->AceType && IsWellKnown(sid, kReportEntries[k].sid)) who = k;
        }
        if (who == kReportEntries.size()) {
            m.problem = std::wstring(header->AceType == ACCESS_DENIED_ACE_TYPE ? L"a deny" : L"an allow") +
                        L" entry for " + SidText(sid) + L" is not one of the four";
            return m;
        }
        // Windows checks entries in order, so a deny after an allow may never be reached.
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) allowSeen = true;
        else if (allowSeen) {
            m.problem = L"a deny entry follows an allow entry";
            return m;
        }
        const ACCESS_MASK rights = MapToFileRights(ace->Mask);
        if ((flags & INHERIT_ONLY_ACE) == 0) m.self[who] |= rights;
        if ((flags & OBJECT_INHERIT_ACE) != 0) m.files[who] |= rights;
        if ((flags & CONTAINER_INHERIT_ACE) != 0) m.folders[who] |= rights;
    }
    return m;
}

std::wstring Compare(const std::array<ACCESS_MASK, 4>& got, const wchar_t* scope) {
    for (std::size_t k = 0; k < kReportEntries.size(); ++k) {
        if (got[k] != kReportEntries[k].rights) {
            return std::wstring(kReportEntries[k].name) + L" has " + Hex(got[k]) + L" " + scope + L", expected " +
                   Hex(kReportEntries[k].rights);
        }
    }
    return {};
}

}  // namespace

std::wstring OpenToUsers(const std::wstring& folder) {
    UniqueLocal<PSECURITY_DESCRIPTOR> wanted;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kOpenFolderSddl, SDDL_REVISION_1, wanted.out(),
                                                              nullptr)) {
        return L"the folder's list does not convert (error " + std::to_wstring(GetLastError()) + L")";
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(wanted.get(), &present, &dacl, &defaulted) || !present || !dacl) {
        return L"the folder's list has no DACL";
    }
    std::wstring path = folder;
    const DWORD set = SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, dacl, nullptr);
    if (set != ERROR_SUCCESS) return L"SetNamedSecurityInfoW failed (error " + std::to_wstring(set) + L")";

    // Read back: a file system that keeps no lists answers with one made up, not this one.
    PACL back = nullptr;
    UniqueLocal<PSECURITY_DESCRIPTOR> stored;
    const DWORD got = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, &back, nullptr, stored.out());
    if (got != ERROR_SUCCESS) return L"GetNamedSecurityInfoW failed (error " + std::to_wstring(got) + L")";
    UniqueLocal<LPWSTR> text;
    const std::wstring shown =
        ConvertSecurityDescriptorToStringSecurityDescriptorW(stored.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             text.out(), nullptr)
            ? std::wstring(text.get())
            : L"(no text)";
    bool usersWrite = false;
    ACL_SIZE_INFORMATION size{};
    if (back && GetAclInformation(back, &size, sizeof size, AclSizeInformation)) {
        for (DWORD i = 0; i < size.AceCount; ++i) {
            void* raw = nullptr;
            if (!GetAce(back, i, &raw)) break;
            const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
            const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
            if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && (ace->Header.AceFlags & inherit) == inherit &&
                (MapToFileRights(ace->Mask) & FILE_ADD_FILE) != 0 &&
                IsWellKnown(const_cast<DWORD*>(&ace->SidStart), WinBuiltinUsersSid)) {
                usersWrite = true;
            }
        }
    }
    if (!usersWrite) {
        return L"a list set on a folder does not read back (set " + std::wstring(kOpenFolderSddl) + L", read " +
               shown + L"): this system stores no access lists";
    }
    return {};
}

AclVerdict JudgeReportAcl(const std::wstring& path, bool directory) {
    AclVerdict verdict;
    PACL dacl = nullptr;
    UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    const DWORD got = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, &dacl, nullptr, descriptor.out());
    if (got != ERROR_SUCCESS) {
        verdict.problem = L"GetNamedSecurityInfoW failed (error " + std::to_wstring(got) + L")";
        return verdict;
    }
    UniqueLocal<LPWSTR> text;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, text.out(), nullptr)) {
        verdict.sddl = text.get();
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(descriptor.get(), &control, &revision)) {
        verdict.problem = L"the descriptor cannot be read";
    } else if (!dacl) {
        verdict.problem = L"no DACL: everyone has full access";
    } else if ((control & SE_DACL_PROTECTED) == 0) {
        verdict.problem = L"the list is not protected";
    } else {
        const Meaning m = Read(dacl);
        verdict.problem = m.problem;
        if (verdict.problem.empty()) verdict.problem = Compare(m.self, L"on the entry itself");
        // A file has nothing to pass its inheritable entries on to.
        if (verdict.problem.empty() && directory) verdict.problem = Compare(m.files, L"for files made inside");
        if (verdict.problem.empty() && directory) verdict.problem = Compare(m.folders, L"for folders made inside");
    }
    if (!verdict.problem.empty()) verdict.problem += L"; read back " + (verdict.sddl.empty() ? L"(no text)" : verdict.sddl);
    return verdict;
}

}  // namespace verify
