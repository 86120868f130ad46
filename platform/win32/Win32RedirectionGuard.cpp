#include <windows.h>

#include "platform/win32/SystemExport.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

void RefuseUntrustedJunctions() {
    using SetProcessMitigationPolicyFunction = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    const auto setPolicy =
        LoadedExport<SetProcessMitigationPolicyFunction>(L"kernel32.dll", "SetProcessMitigationPolicy");
    if (setPolicy == nullptr) return;
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy{};
    policy.EnforceRedirectionTrust = 1;   // NOLINT(cppcoreguidelines-pro-type-union-access): the policy's documented bit
    // A system that does not know the policy refuses it; the walk's own checks still hold there.
    setPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy);
}

}  // namespace platform::win32
