#include <windows.h>

#include "platform/win32/SystemExport.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

RedirectionGuard RefuseUntrustedJunctions() {
    using SetProcessMitigationPolicyFunction = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    const auto setPolicy =
        LoadedExport<SetProcessMitigationPolicyFunction>(L"kernel32.dll", "SetProcessMitigationPolicy");
    if (setPolicy == nullptr) return {false, ERROR_PROC_NOT_FOUND};
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy{};
    policy.EnforceRedirectionTrust = 1;   // NOLINT(cppcoreguidelines-pro-type-union-access): the policy's documented bit
    // A system that does not know the policy refuses it; the walk's own checks hold without it.
    if (!setPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy)) return {false, GetLastError()};
    return {true, ERROR_SUCCESS};
}

}  // namespace platform::win32
