#include "RedirectionGuardCases.h"

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <optional>
#include <string>

#include "Acl.h"
#include "Files.h"
#include "GuardJudge.h"
#include "Handles.h"
#include "Launch.h"
#include "Links.h"
#include "PathWalkCases.h"
#include "PlantList.h"
#include "Text.h"
#include "Tokens.h"

namespace verify {
namespace {

// The policy as GetProcessMitigationPolicy reads it back for a process (its handle needs
// PROCESS_QUERY_INFORMATION); unset where it cannot be read, as on a Windows without it.
std::optional<bool> Guarded(HANDLE process) {
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy{};
    if (!GetProcessMitigationPolicy(process, ProcessRedirectionTrustPolicy, &policy, sizeof policy)) return std::nullopt;
    return policy.EnforceRedirectionTrust != 0;   // NOLINT(cppcoreguidelines-pro-type-union-access): the documented bit
}

// One look at the launcher while it runs: its children by parent id (the launcher's id stays its
// own while this program holds its handle), then the launcher's own policy. A look that found a
// child came after the launcher's start-up, where it switches the policy on before anything else.
void Look(GuardSeen& seen, HANDLE launcher, DWORD launcherId) {
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool childRunning = false;
    if (!snapshot || !Process32FirstW(snapshot.get(), &entry)) return;
    do {
        if (entry.th32ParentProcessID != launcherId || entry.th32ProcessID == launcherId) continue;
        childRunning = true;
        const auto known = std::find_if(seen.children.begin(), seen.children.end(),
                                        [&](const ChildSeen& c) { return c.processId == entry.th32ProcessID; });
        if (known != seen.children.end() && known->guarded) continue;
        const UniqueKernelHandle child(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, entry.th32ProcessID));
        const std::optional<bool> guarded = child ? Guarded(child.get()) : std::nullopt;
        if (known != seen.children.end()) {
            known->guarded = guarded;
        } else {
            seen.children.push_back({entry.szExeFile, entry.th32ProcessID, guarded});
        }
    } while (Process32NextW(snapshot.get(), &entry));
    if (!childRunning) return;
    ++seen.launcherLooks;
    if (Guarded(launcher).value_or(false)) ++seen.launcherLooksGuarded;
}

DWORD OpenThrough(const std::wstring& path) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return file ? ERROR_SUCCESS : GetLastError();
}

std::wstring MakeFolder(const std::wstring& path) {
    return CreateDirectoryW(path.c_str(), nullptr) ? std::wstring() : ErrorText(L"making " + path, GetLastError());
}

// open\ug, a junction to behind made under this account's token without administrators' rights,
// and open\ag, one this program made; then both handed to Administrators with a list only they
// may change, as takeown would: only RedirectionGuard's own mark tells them apart. The folder
// open lets that one account (not inheritable) add a folder only while the junction is made, and
// gets its list back on every way out; each junction's owner and list are set only once its name
// is seen to stand for the folder made. Empty text, or why it could not be planted.
std::wstring PlantAndOpen(const std::wstring& folder, GuardSeen& seen) {
    NonAdministratorToken token;
    std::wstring why = token.Make();
    if (!why.empty()) return why;
    const std::optional<std::wstring> list = OneAccountList(token.Account(), kAddOneFolderRights);
    if (!list) return L"this account (" + token.Account() + L") is no single person's account: nothing is opened to it";
    const std::wstring behind = Join(folder, L"behind");
    const std::wstring open = Join(folder, L"open");
    why = MakeFolder(behind);
    if (why.empty()) why = MakeFolder(open);
    if (why.empty() && !WriteNewFile(Join(behind, L"keep.txt"), kKept)) why = L"could not write behind\\keep.txt";
    if (!why.empty()) return why;
    BY_HANDLE_FILE_INFORMATION users{}, admins{};
    {
        ListGivenBack opened(open, kAdminsOnlyList.data());
        why = opened.Open(*list);
        if (why.empty()) {
            Impersonation as;
            why = as.Begin(token.Primary());
            if (why.empty()) why = MakeJunction(Join(open, L"ug"), behind, &users);
        }
        const std::wstring givenBack = opened.GiveBack();
        if (why.empty()) why = givenBack;
    }
    if (why.empty()) why = MakeJunction(Join(open, L"ag"), behind, &admins);
    if (why.empty()) why = SetOwnerAndList(Join(open, L"ug"), kAdministratorsSid, kAdminsOnlyList.data(), &users);
    if (why.empty()) why = SetOwnerAndList(Join(open, L"ag"), kAdministratorsSid, kAdminsOnlyList.data(), &admins);
    if (!why.empty()) return why;
    seen.throughAdmins = OpenThrough(Join(open, L"ag\\keep.txt"));
    seen.throughUsers = OpenThrough(Join(open, L"ug\\keep.txt"));
    return {};
}

// The launcher's own process, looked at while its /getstatus runs the store's queries, and this
// program's demonstration that a process with the policy on refuses what the launcher's would.
// This program switches the policy on at its start as the launcher does, through the same code.
Outcome CheckRedirectionGuard(const Context& context, const Case& self, const std::wstring& folder) {
    GuardSeen local;
    GuardSeen& seen = context.guard != nullptr ? *context.guard : local;
    seen = GuardSeen{};
    seen.ran = true;
    seen.asSystem = RunsAsSystem();
    seen.policyKnown = Guarded(GetCurrentProcess()).value_or(false);
    if (!seen.policyKnown) return JudgeRedirectionGuard(seen);
    RunOptions watched;
    watched.watch = [&seen](HANDLE process, DWORD processId) { Look(seen, process, processId); };
    DWORD exitCode = 0;
    seen.run = RunStatus(context, Join(folder, self.report), exitCode, nullptr, watched);
    // Checked before anything is planted: the system account has no token to make it with.
    if (!seen.asSystem) seen.plantProblem = PlantAndOpen(folder, seen);
    return JudgeRedirectionGuard(seen);
}

Outcome CheckGuardedChildren(const Context& context, const Case&, const std::wstring&) {
    return context.guard != nullptr ? DescribeGuardedChildren(*context.guard) : DescribeGuardedChildren(GuardSeen{});
}

}  // namespace

std::vector<Case> RedirectionGuardCases() {
    return {
        {L"redirection-guard", CheckRedirectionGuard, nullptr, L"status.txt"},
        {L"redirection-guard-child", CheckGuardedChildren, nullptr, nullptr, Kind::Info},
    };
}

}  // namespace verify
