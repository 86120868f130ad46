#include "Cases.h"

#include <windows.h>

#include <optional>
#include <utility>

#include "Acl.h"
#include "DriveCases.h"
#include "Files.h"
#include "Launch.h"
#include "Links.h"
#include "EvidenceCases.h"
#include "HeldLevelCases.h"
#include "PathWalkCases.h"
#include "RedirectionGuardCases.h"
#include "ReportLine.h"
#include "ReportReplaceCases.h"
#include "RollbackJudge.h"
#include "Text.h"
#include "TraceCases.h"
#include "Watch.h"

namespace verify {
namespace {

// A behind folder with a file in it: the target the links point at.
std::wstring MakeBehind(const std::wstring& folder) {
    const std::wstring behind = Join(folder, L"behind");
    if (!CreateDirectoryW(behind.c_str(), nullptr) || !WriteNewFile(Join(behind, L"keep.txt"), kKept)) {
        return L"could not make " + behind + L" (error " + std::to_wstring(GetLastError()) + L")";
    }
    return {};
}

std::wstring PlantHardLink(const std::wstring& folder) {
    std::wstring why = MakeBehind(folder);
    if (why.empty()) why = MakeHardLink(Join(folder, L"status.txt"), Join(folder, L"behind\\keep.txt"));
    return why;
}

std::wstring PlantKeepFile(const std::wstring& folder) {
    return WriteNewFile(Join(folder, L"keep.txt"), kKept) ? std::wstring() : L"could not write keep.txt";
}

Outcome CheckWritten(const Context& context, const Case& self, const std::wstring& folder) {
    const std::wstring path = Join(folder, self.report);
    DWORD exitCode = 0;
    if (const std::optional<Outcome> stopped = RunStatus(context, path, exitCode)) return *stopped;
    const std::optional<std::string> bytes = ReadWholeFile(path);
    if (!bytes) return Fail(L"no report at " + path);
    // The package is absent on a machine that never had it, but an installed one is reported just as well.
    const std::wstring wrong = ReportLineProblem(*bytes, exitCode);
    if (!wrong.empty()) return Fail(wrong + L": it reads \"" + Printable(*bytes) + L"\"");
    for (const Entry& e : TakeSnapshot(folder)) {
        if (e.name != self.report) return Fail(L"more than the report was left: " + e.name);
    }
    return Pass(L"exit " + std::to_wstring(exitCode) + L", \"" + Printable(*bytes) + L"\"");
}

Outcome JudgeAcl(const std::wstring& path, bool directory) {
    const AclVerdict verdict = JudgeReportAcl(path, directory);
    return verdict.problem.empty() ? Pass(verdict.sddl) : Fail(verdict.problem);
}

// What is made in the folder would be open to Users, but only while the launcher runs in it;
// afterwards the folder gets the scratch folder's list back while it is read and removed.
class OpenedToUsers {
public:
    explicit OpenedToUsers(std::wstring folder) : folder_(std::move(folder)) {}
    OpenedToUsers(const OpenedToUsers&) = delete;
    OpenedToUsers& operator=(const OpenedToUsers&) = delete;
    OpenedToUsers(OpenedToUsers&&) = delete;
    OpenedToUsers& operator=(OpenedToUsers&&) = delete;
    ~OpenedToUsers() { CloseToUsers(folder_); }
    std::wstring Open() const { return OpenToUsers(folder_); }

private:
    std::wstring folder_;
};

Outcome CheckAclOfReport(const Context& context, const Case& self, const std::wstring& folder) {
    const OpenedToUsers opened(folder);
    const std::wstring why = opened.Open();
    if (!why.empty()) return CannotPrepare(why);
    const std::wstring path = Join(folder, self.report);
    DWORD exitCode = 0;
    if (const std::optional<Outcome> stopped = RunStatus(context, path, exitCode)) return *stopped;
    if (!ReadWholeFile(path)) return Fail(L"no report at " + path);
    return JudgeAcl(path, false);
}

Outcome CheckAclOfDirectory(const Context& context, const Case& self, const std::wstring& folder) {
    const OpenedToUsers opened(folder);
    const std::wstring why = opened.Open();
    if (!why.empty()) return CannotPrepare(why);
    DWORD exitCode = 0;
    if (const std::optional<Outcome> stopped = RunStatus(context, Join(folder, self.report), exitCode)) return *stopped;
    const std::wstring made = Join(folder, L"made");
    if (LookAt(made).attributes != FILE_ATTRIBUTE_DIRECTORY) return Fail(L"no plain directory at " + made);
    return JudgeAcl(made, true);
}

// The chain makes new1 and new2, then fails on a name Windows refuses: both must go again. The
// log of the folder's changes shows them made and removed; a launcher that made nothing would
// leave the folder as it was too.
Outcome CheckRollback(const Context& context, const Case& self, const std::wstring& folder) {
    const std::wstring why = PlantKeepFile(folder);
    if (!why.empty()) return CannotPrepare(why);
    const Snapshot before = TakeSnapshot(folder);
    DirectoryWatch watch;
    const std::wstring cannotWatch = watch.Start(folder);
    if (!cannotWatch.empty()) return CannotPrepare(L"the folder's changes cannot be logged: " + cannotWatch);
    DWORD exitCode = 0;
    if (const std::optional<Outcome> stopped = RunStatus(context, Join(folder, self.report), exitCode)) return *stopped;
    std::vector<LoggedChange> log;
    const std::wstring incomplete = watch.Collect(log);
    const std::wstring changed = FirstDifference(before, TakeSnapshot(folder));
    if (!changed.empty()) return Fail(changed);
    if (!incomplete.empty()) return CannotPrepare(L"the log of the folder's changes is incomplete: " + incomplete);
    return JudgeRollback(log, {L"new1", L"new1\\new2"});
}

std::vector<Case> Appended(std::vector<Case> cases, const std::vector<Case>& more) {
    cases.insert(cases.end(), more.begin(), more.end());
    return cases;
}

}  // namespace

const std::vector<Case>& AllCases() {
    static const std::vector<Case> cases = Appended(std::vector<Case>{
        // The launcher and PowerShell work here at all; the refusals below rest on it.
        {L"report-written", CheckWritten, nullptr, L"status.txt", Kind::Baseline},
        {L"hard-link", CheckReplacedHardLink, PlantHardLink, L"status.txt"},
        {L"chain-rollback", CheckRollback, nullptr, L"new1\\new2\\bad?name\\status.txt"},
        {L"acl-report", CheckAclOfReport, nullptr, L"status.txt"},
        {L"acl-directory", CheckAclOfDirectory, nullptr, L"made\\status.txt"},
    }, Appended(Appended(Appended(ReportReplaceCases(), PathWalkCases()), DriveCases()), HeldLevelCases()));
    static const std::vector<Case> all =
        Appended(Appended(Appended(cases, RedirectionGuardCases()), EvidenceCases()), TraceCases());
    return all;
}

}  // namespace verify
