#include "Tokens.h"

#include <sddl.h>

#include <vector>

#include "Text.h"

namespace verify {
namespace {

// The token's user, read into `buffer`; nullptr when unread.
PSID TokenUserSid(HANDLE token, std::vector<BYTE>& buffer) {
    buffer.assign(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE, 0);
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) return nullptr;
    return reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

}  // namespace

std::wstring SidText(PSID sid) {
    UniqueLocal<LPWSTR> text;
    return sid != nullptr && ConvertSidToStringSidW(sid, text.out()) ? std::wstring(text.get()) : std::wstring();
}

std::wstring AccountName(PSID sid) {
    wchar_t name[256], domain[256];
    DWORD nameLength = 256, domainLength = 256;
    SID_NAME_USE use{};
    if (sid == nullptr || !LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) return {};
    return std::wstring(domain) + L"\\" + name;
}

std::wstring AccountSid() {
    UniqueKernelHandle token;
    std::vector<BYTE> buffer;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return {};
    return SidText(TokenUserSid(token.get(), buffer));
}

bool RunsAsSystem() {
    UniqueKernelHandle token;
    std::vector<BYTE> buffer;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return false;
    const PSID user = TokenUserSid(token.get(), buffer);
    return user != nullptr && IsWellKnownSid(user, WinLocalSystemSid);
}

std::wstring NonAdministratorToken::Make(bool evenAsSystem) {
    UniqueKernelHandle own;
    if (!OpenProcessToken(GetCurrentProcess(),
                          TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT | TOKEN_ASSIGN_PRIMARY | TOKEN_IMPERSONATE,
                          own.out())) {
        return ErrorText(L"OpenProcessToken", GetLastError());
    }
    std::vector<BYTE> userBuffer;
    const PSID user = TokenUserSid(own.get(), userBuffer);
    if (user == nullptr) return ErrorText(L"reading the account", GetLastError());
    if (!evenAsSystem && IsWellKnownSid(user, WinLocalSystemSid)) {
        return L"as the system account, no token without administrators' rights comes from its own";
    }
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size)) {
        return ErrorText(L"CreateWellKnownSid", GetLastError());
    }
    SID_AND_ATTRIBUTES denyOnly{admins, 0};
    if (!CreateRestrictedToken(own.get(), DISABLE_MAX_PRIVILEGE, 1, &denyOnly, 0, nullptr, 0, nullptr, primary_.out())) {
        return ErrorText(L"CreateRestrictedToken", GetLastError());
    }
    // An administrator's token may name Administrators the owner of what it makes, a group this
    // token holds for deny only: the account itself becomes the owner. Where the system will not
    // have it (Wine), what this token makes fails to be made, and the case says so.
    TOKEN_OWNER owner{user};
    SetTokenInformation(primary_.get(), TokenOwner, &owner, sizeof owner);
    account_ = SidText(user);
    // What it makes gets this list when its folder passes nothing on ("DACL for a New Object").
    const std::wstring defaultList = L"D:(A;;GA;;;" + account_ + L")(A;;GA;;;SY)(A;;GA;;;BA)";
    UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (account_.empty() ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(defaultList.c_str(), SDDL_REVISION_1, descriptor.out(), nullptr) ||
        !GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted)) {
        return ErrorText(L"building the token's default list", GetLastError());
    }
    TOKEN_DEFAULT_DACL defaults{dacl};
    if (!SetTokenInformation(primary_.get(), TokenDefaultDacl, &defaults, sizeof defaults)) {
        return ErrorText(L"setting the token's default list", GetLastError());
    }
    return {};
}

Impersonation::~Impersonation() {
    if (active_) SetThreadToken(nullptr, nullptr);
}

std::wstring Impersonation::Begin(HANDLE primary) {
    UniqueKernelHandle impersonation;
    if (!DuplicateTokenEx(primary, TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr, SecurityImpersonation, TokenImpersonation,
                          impersonation.out()) ||
        !SetThreadToken(nullptr, impersonation.get())) {
        return ErrorText(L"taking the token on", GetLastError());
    }
    active_ = true;
    return {};
}

}  // namespace verify
