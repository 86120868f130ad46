#pragma once

// What redirection-guard saw, and what it proves: that the launcher's own process runs with
// RedirectionGuard on, and that on this Windows a process with it on does not follow a junction a
// non-administrator made. Plain data, tested on Linux too.

#include <optional>
#include <string>
#include <vector>

#include "Cases.h"

namespace verify {

// ERROR_UNTRUSTED_MOUNT_POINT: how RedirectionGuard refuses a path.
inline constexpr unsigned long kErrorUntrustedMountPoint = 448;

// A child of the launcher as it was seen running.
struct ChildSeen {
    std::wstring name;         // its image name, "powershell.exe"
    unsigned long processId = 0;
    std::optional<bool> guarded;   // its policy read back; unset when it could not be read
};

struct GuardSeen {
    bool ran = false;   // redirection-guard ran in this run and filled what follows
    bool asSystem = false;
    // This program switches the policy on as the launcher does; read back, it tells whether this
    // Windows has RedirectionGuard at all.
    bool policyKnown = false;
    // The launcher's run: its outcome when the run itself settled the case (a failure, or not
    // prepared), and its process's policy as read at each look taken while a child of it ran,
    // that is after its start-up, where it switches the policy on.
    std::optional<Outcome> run;
    int launcherLooks = 0;
    int launcherLooksGuarded = 0;
    std::vector<ChildSeen> children;
    // This program's own demonstration, with the policy on: why the two junctions could not be
    // planted (empty when they were), then the error of an open through each (0: opened).
    std::wstring plantProblem;
    unsigned long throughUsers = 0;    // the junction made under this account without administrators' rights
    unsigned long throughAdmins = 0;   // the junction an administrator made
};

// redirection-guard: Pass only when the launcher's process was seen with the policy on after its
// start-up and this program's demonstration refused the non-administrator's junction as untrusted
// while following the administrator's. A launcher seen without it fails. Info where this Windows
// has no RedirectionGuard, and as the system account, which cannot make the non-administrator's
// junction (the launcher's own policy is still judged there).
Outcome JudgeRedirectionGuard(const GuardSeen& seen);

// redirection-guard-child: information on whether the tools the launcher started ran with it.
Outcome DescribeGuardedChildren(const GuardSeen& seen);

}  // namespace verify
