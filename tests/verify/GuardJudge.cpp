#include "GuardJudge.h"

namespace verify {
namespace {

std::wstring Opened(unsigned long error) {
    return error == 0 ? std::wstring(L"opened") : L"error " + std::to_wstring(error);
}

}  // namespace

Outcome JudgeRedirectionGuard(const GuardSeen& seen) {
    if (!seen.policyKnown) {
        return {Verdict::Info, L"this Windows has no RedirectionGuard (a process cannot switch it on): nothing to show "
                               L"here; the launcher's report path checks do not rely on it"};
    }
    if (seen.run) return *seen.run;
    if (seen.launcherLooks == 0) {
        return CannotPrepare(L"the launcher's process could not be looked at while it ran a tool, so its policy is unknown");
    }
    const std::wstring looks = std::to_wstring(seen.launcherLooksGuarded) + L" of " + std::to_wstring(seen.launcherLooks) +
                               L" looks at the launcher's process while it ran a tool";
    if (seen.launcherLooksGuarded != seen.launcherLooks) {
        return Fail(L"the launcher's process ran without RedirectionGuard: on in " + looks);
    }
    const std::wstring launcher = L"the launcher's process runs with RedirectionGuard on (" + looks + L")";
    if (seen.asSystem) {
        return {Verdict::Info, launcher + L"; that it follows no junction a non-administrator made is shown by the "
                                          L"administrator's run of this program: as the system account no token "
                                          L"without administrators' rights comes from its own"};
    }
    if (!seen.plantProblem.empty()) return CannotPrepare(launcher + L"; " + seen.plantProblem);
    const std::wstring shown = launcher + L"; in a process with it on, through the junction made without "
                                          L"administrators' rights: " + Opened(seen.throughUsers) +
                               L"; through the administrator's: " + Opened(seen.throughAdmins);
    if (seen.throughAdmins != 0) return CannotPrepare(shown + L": the control is not followed either");
    if (seen.throughUsers == 0) return Fail(shown);
    if (seen.throughUsers != kErrorUntrustedMountPoint) return CannotPrepare(shown + L": refused, but not as untrusted");
    return Pass(shown);
}

Outcome DescribeGuardedChildren(const GuardSeen& seen) {
    if (!seen.ran) return {Verdict::Info, L"redirection-guard did not run in this run: nothing was looked at"};
    if (!seen.policyKnown) return {Verdict::Info, L"this Windows has no RedirectionGuard"};
    if (seen.children.empty()) return {Verdict::Info, L"no tool the launcher started could be looked at while it ran"};
    std::wstring text;
    for (const ChildSeen& child : seen.children) {
        const std::wstring policy = !child.guarded ? L"its policy could not be read"
                                    : *child.guarded ? L"RedirectionGuard on"
                                                     : L"RedirectionGuard off";
        text += (text.empty() ? L"" : L"; ") + child.name + L" (process " + std::to_wstring(child.processId) + L"): " + policy;
    }
    return {Verdict::Info, text + L" (the launcher switches it on for its own process only)"};
}

}  // namespace verify
