#include "PathWalkCases.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <optional>
#include <string>

#include "Acl.h"
#include "Files.h"
#include "Launch.h"
#include "Links.h"
#include "Handles.h"
#include "Text.h"

namespace verify {
namespace {

// A standard user's SID (no account needs to stand behind it for it to own a file), and the
// Users group should a volume refuse it.
constexpr wchar_t kStandardUserSid[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr wchar_t kUsersSid[] = L"S-1-5-32-545";


// <behind>\keep.txt, <behind>\a\b, and the junction <name> leading to <behind>, owned as asked:
// what the junction leads to holds a file that must not change, and the two folders a report
// below it would use, so that only the judgement of the junction stops it.
std::wstring PlantJunctionAs(const std::wstring& folder, const wchar_t* name, const wchar_t* behindName,
                             const wchar_t* ownerSid, const wchar_t* sddl) {
    const std::wstring behind = Join(folder, behindName);
    if (!CreateDirectoryW(behind.c_str(), nullptr) || !WriteNewFile(Join(behind, L"keep.txt"), kKept) ||
        !CreateDirectoryW(Join(behind, L"a").c_str(), nullptr) ||
        !CreateDirectoryW(Join(behind, L"a\\b").c_str(), nullptr)) {
        return ErrorText(L"making the folder behind the junction", GetLastError());
    }
    const std::wstring junction = Join(folder, name);
    std::wstring why = MakeJunction(junction, behind);
    if (why.empty()) why = SetOwnerAndList(junction, ownerSid, sddl);
    return why;
}

// behind\keep.txt, behind\a\b, and the junction j leading to behind, owned as asked.
std::wstring PlantJunction(const std::wstring& folder, const wchar_t* ownerSid, const wchar_t* sddl) {
    return PlantJunctionAs(folder, L"j", L"behind", ownerSid, sddl);
}

std::wstring PlantUserJunction(const std::wstring& folder) {
    std::wstring why = PlantJunction(folder, kAdministratorsSid, kAdminsOnlySddl);
    if (why.empty()) why = OwnedByAStandardUser(Join(folder, L"j"));
    return why;
}

std::wstring PlantAdminJunction(const std::wstring& folder) {
    return PlantJunction(folder, kAdministratorsSid, kAdminsOnlySddl);
}

std::wstring PlantChangeableAdminJunction(const std::wstring& folder) {
    return PlantJunction(folder, kAdministratorsSid, kUsersMayWriteSddl);
}

std::wstring Slashed(std::wstring path) {
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return path;
}

// The case's report path in full, in forward slashes throughout when the case writes it so.
std::wstring ReportPath(const std::wstring& folder, const std::wstring& report) {
    return report[0] == L'/' ? Slashed(folder) + report : Join(folder, report);
}

// Runs /getstatus on `report` and expects it behind the junction, in `behind`\a\b, with the
// line that goes with the exit code, and nothing else changed in the case's folder. `missing`
// tells a report that is not there at all from any other failure.
Outcome RunFollowed(const Context& context, const std::wstring& folder, const std::wstring& report,
                    const std::wstring& behind, bool& missing) {
    missing = false;
    Snapshot expected = TakeSnapshot(folder);
    DWORD exitCode = 0;
    if (const std::optional<Outcome> stopped = RunStatus(context, ReportPath(folder, report), exitCode)) return *stopped;
    const std::wstring written = behind + L"\\a\\b\\status.txt";
    const std::wstring landed = Join(folder, written);
    const std::optional<std::string> bytes = ReadWholeFile(landed);
    missing = !bytes.has_value();
    if (!bytes) return Fail(L"no report behind the junction at " + landed);
    const bool line = exitCode == 1 ? *bytes == "Not installed\n" : bytes->rfind("Version=", 0) == 0;
    if (!line) return Fail(L"the report behind the junction does not go with exit " + std::to_wstring(exitCode));
    Snapshot after = TakeSnapshot(folder);
    after.erase(std::remove_if(after.begin(), after.end(), [&](const Entry& e) { return e.name == written; }),
                after.end());
    const std::wstring changed = FirstDifference(expected, after);
    return changed.empty() ? Pass(L"exit " + std::to_wstring(exitCode)) : Fail(changed);
}

// Refused: nothing behind the junction (or anywhere in the case's folder) changes. Its control
// first: the same path through k, an administrators' junction nobody else may change, must be
// followed in the same run, so that the refusal is the judgement of j and not of the path's shape
// (a launcher refusing every "/" would pass a forward-slash refusal otherwise).
Outcome CheckRefused(const Context& context, const Case& self, const std::wstring& folder) {
    std::wstring why = self.prepare(folder);
    if (why.empty()) why = PlantJunctionAs(folder, L"k", L"control", kAdministratorsSid, kAdminsOnlySddl);
    if (!why.empty()) return CannotPrepare(why);
    std::wstring control = self.report;
    control[control[0] == L'/' ? 1 : 0] = L'k';
    bool missing = false;
    const Outcome followed = RunFollowed(context, folder, control, L"control", missing);
    if (missing) {
        return CannotPrepare(L"its control " + control +
                             L", through an administrators' junction, was not followed: a refusal here would prove nothing");
    }
    if (followed.verdict != Verdict::Pass) return followed;
    const Snapshot before = TakeSnapshot(folder);
    DWORD exitCode = 0;
    if (const std::optional<Outcome> stopped = RunStatus(context, ReportPath(folder, self.report), exitCode)) {
        return *stopped;
    }
    const std::wstring changed = FirstDifference(before, TakeSnapshot(folder));
    return changed.empty() ? Pass(L"its control " + control + L" was followed") : Fail(changed);
}

// Followed: the report stands behind the junction, and nothing else changed.
Outcome CheckFollowed(const Context& context, const Case& self, const std::wstring& folder) {
    const std::wstring why = self.prepare(folder);
    if (!why.empty()) return CannotPrepare(why);
    bool missing = false;
    return RunFollowed(context, folder, self.report, L"behind", missing);
}

}  // namespace

std::wstring OwnedByAStandardUser(const std::wstring& path) {
    std::wstring why = SetOwnerAndList(path, kStandardUserSid, kAdminsOnlySddl);
    // A volume that takes no unknown SID still takes the Users group, which is no administrator either.
    if (!why.empty()) why = SetOwnerAndList(path, kUsersSid, kAdminsOnlySddl);
    return why;
}

std::vector<Case> PathWalkCases() {
    return {
        // The junction is j, two levels above the report's folder b: j\a\b\status.txt.
        {L"junction-above-user-owned", CheckRefused, PlantUserJunction, L"j\\a\\b\\status.txt", Kind::Refusal},
        {L"junction-above-admin-owned", CheckFollowed, PlantAdminJunction, L"j\\a\\b\\status.txt"},
        {L"junction-above-users-may-change", CheckRefused, PlantChangeableAdminJunction, L"j\\a\\b\\status.txt",
         Kind::Refusal},
        // The whole path in forward slashes: every level is judged all the same, and the control
        // through an administrators' junction, in forward slashes too, is followed.
        {L"junction-above-forward-slashes", CheckRefused, PlantUserJunction, L"/j/a/b/status.txt", Kind::Refusal},
        {L"junction-above-admin-owned-slashes", CheckFollowed, PlantAdminJunction, L"/j/a/b/status.txt"},
    };
}

}  // namespace verify
