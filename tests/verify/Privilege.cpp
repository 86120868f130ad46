#include "Privilege.h"

#include "Text.h"

namespace verify {

std::wstring EnabledPrivilege::Enable(const wchar_t* name) {
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token_.out())) {
        return ErrorText(L"OpenProcessToken", GetLastError());
    }
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid)) {
        return ErrorText(L"LookupPrivilegeValueW", GetLastError());
    }
    // The state before, so that the destructor restores exactly that, and only if it changed.
    DWORD size = sizeof previous_;
    if (!AdjustTokenPrivileges(token_.get(), FALSE, &wanted, sizeof previous_, &previous_, &size) ||
        GetLastError() != ERROR_SUCCESS) {
        return std::wstring(name) + L" cannot be switched on (error " + std::to_wstring(GetLastError()) + L")";
    }
    changed_ = true;
    return {};
}

EnabledPrivilege::~EnabledPrivilege() {
    // A previous state with no privilege in it means the privilege was on already.
    if (changed_ && previous_.PrivilegeCount != 0) {
        AdjustTokenPrivileges(token_.get(), FALSE, &previous_, 0, nullptr, nullptr);
    }
}

}  // namespace verify
