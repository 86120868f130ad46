#include <windows.h>

#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

void RefuseUntrustedJunctions() {
    using SetProcessMitigationPolicyFunction = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) return;
    const FARPROC proc = GetProcAddress(kernel, "SetProcessMitigationPolicy");
    if (proc == nullptr) return;
    // GetProcAddress returns every export under one type; the cast names the real one.
    const auto setPolicy =
        reinterpret_cast<SetProcessMitigationPolicyFunction>(   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
            reinterpret_cast<void (*)()>(proc));                // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy{};
    policy.EnforceRedirectionTrust = 1;   // NOLINT(cppcoreguidelines-pro-type-union-access): the policy's documented bit
    // A system that does not know the policy refuses it; the walk's own checks still hold there.
    setPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy);
}

}  // namespace platform::win32
