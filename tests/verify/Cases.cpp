#include "Cases.h"

#include <windows.h>

#include <optional>

#include "Acl.h"
#include "Files.h"
#include "Launch.h"
#include "Links.h"
#include "PathWalkCases.h"

namespace verify {
namespace {

constexpr wchar_t kPackageId[] = L"4c7d2a00-91e3-4b58-a6f2-3d05c1e8b94f";
// What a planted target holds; any write through a link or a second name changes it.
const std::string kKept = "Version=99.99.99.99-previous\r\nand a second line that must not change\r\n";

Outcome Pass(std::wstring detail = {}) { return {Verdict::Pass, std::move(detail)}; }
Outcome Fail(std::wstring detail) { return {Verdict::Fail, std::move(detail)}; }
Outcome CannotPrepare(std::wstring why) { return {Verdict::CannotPrepare, std::move(why)}; }

std::wstring Printable(const std::string& bytes) {
    std::wstring out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F) out += static_cast<wchar_t>(c);
        else {
            wchar_t hex[8];
            wsprintfW(hex, L"\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::wstring HexBytes(const std::string& bytes, std::size_t most) {
    std::wstring out;
    for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
        wchar_t hex[4];
        wsprintfW(hex, L"%02x", static_cast<unsigned char>(bytes[i]));
        if (!out.empty()) out += L' ';
        out += hex;
    }
    if (bytes.size() > most) out += L" ...";
    return out;
}

// A behind folder with a file in it: the target the links point at.
std::wstring MakeBehind(const std::wstring& folder) {
    const std::wstring behind = Join(folder, L"behind");
    if (!CreateDirectoryW(behind.c_str(), nullptr) || !WriteNewFile(Join(behind, L"keep.txt"), kKept)) {
        return L"could not make " + behind + L" (error " + std::to_wstring(GetLastError()) + L")";
    }
    return {};
}

std::wstring PlantFileLink(const std::wstring& folder) {
    std::wstring why = MakeBehind(folder);
    if (why.empty()) why = MakeSymbolicLink(Join(folder, L"status.txt"), Join(folder, L"behind\\keep.txt"), false);
    return why;
}

std::wstring PlantDirectoryLink(const std::wstring& folder) {
    std::wstring why = MakeBehind(folder);
    if (why.empty()) why = MakeSymbolicLink(Join(folder, L"status.txt"), Join(folder, L"behind"), true);
    return why;
}

// Its target is missing, so a create that followed it would bring never.txt into being.
std::wstring PlantDanglingLink(const std::wstring& folder) {
    std::wstring why = MakeBehind(folder);
    if (why.empty()) why = MakeSymbolicLink(Join(folder, L"status.txt"), Join(folder, L"behind\\never.txt"), false);
    return why;
}

std::wstring PlantJunctionAtReport(const std::wstring& folder) {
    std::wstring why = MakeBehind(folder);
    if (why.empty()) why = MakeJunction(Join(folder, L"status.txt"), Join(folder, L"behind"));
    return why;
}

// Made by the administrator running this, so the junction is handed to a standard user: only
// such a junction is refused above the report.
std::wstring PlantJunction(const std::wstring& folder) {
    std::wstring why = MakeBehind(folder);
    if (why.empty()) why = MakeJunction(Join(folder, L"j"), Join(folder, L"behind"));
    if (why.empty()) why = OwnedByAStandardUser(Join(folder, L"j"));
    return why;
}

std::wstring PlantHardLink(const std::wstring& folder) {
    std::wstring why = MakeBehind(folder);
    if (why.empty()) why = MakeHardLink(Join(folder, L"status.txt"), Join(folder, L"behind\\keep.txt"));
    return why;
}

std::wstring PlantKeepFile(const std::wstring& folder) {
    return WriteNewFile(Join(folder, L"keep.txt"), kKept) ? std::wstring() : L"could not write keep.txt";
}

// The report line that goes with the exit code: the package is absent on a machine that
// never had it, but an installed one is reported just as well.
std::wstring ReportProblem(const std::string& bytes, DWORD exitCode) {
    if (exitCode == 1) {
        return bytes == "Not installed\n" ? std::wstring() : L"exit 1 but the report reads \"" + Printable(bytes) + L"\"";
    }
    const bool versionLine = bytes.rfind("Version=", 0) == 0 && bytes.find('\n') == bytes.size() - 1;
    return bytes.empty() || versionLine ? std::wstring()
                                        : L"exit 0 but the report reads \"" + Printable(bytes) + L"\"";
}

// Runs ppkg-launcher.exe /getstatus PATH; a problem text unless it ran to its end with 0 or 1.
std::wstring RunStatus(const Context& context, const std::wstring& reportPath, DWORD& exitCode) {
    // The first argument follows the program-name rule: quotes only group, no escapes.
    const std::wstring commandLine = L"\"" + context.launcher + L"\" /getstatus " + QuoteArgument(reportPath);
    const RunResult run = RunAndWait(context.launcher, commandLine, context.folder);
    if (!run.problem.empty()) return run.problem;
    exitCode = run.exitCode;
    if (exitCode > 1) {
        wchar_t text[64];
        wsprintfW(text, L"the launcher ended with 0x%08X, not 0 or 1", exitCode);
        return text;
    }
    return {};
}

Outcome CheckWritten(const Context& context, const Case& self, const std::wstring& folder) {
    const std::wstring path = Join(folder, self.report);
    DWORD exitCode = 0;
    const std::wstring problem = RunStatus(context, path, exitCode);
    if (!problem.empty()) return Fail(problem);
    const std::optional<std::string> bytes = ReadWholeFile(path);
    if (!bytes) return Fail(L"no report at " + path);
    const std::wstring wrong = ReportProblem(*bytes, exitCode);
    if (!wrong.empty()) return Fail(wrong);
    for (const Entry& e : TakeSnapshot(folder)) {
        if (e.name != self.report) return Fail(L"more than the report was left: " + e.name);
    }
    return Pass(L"exit " + std::to_wstring(exitCode) + L", \"" + Printable(*bytes) + L"\"");
}

// Whatever stands in the way, the launcher writes nothing and every entry stays as it was.
Outcome CheckUnchanged(const Context& context, const Case& self, const std::wstring& folder) {
    const std::wstring why = self.prepare(folder);
    if (!why.empty()) return CannotPrepare(why);
    const Snapshot before = TakeSnapshot(folder);
    DWORD exitCode = 0;
    const std::wstring problem = RunStatus(context, Join(folder, self.report), exitCode);
    if (!problem.empty()) return Fail(problem);
    const std::wstring changed = FirstDifference(before, TakeSnapshot(folder));
    return changed.empty() ? Pass() : Fail(changed);
}

Outcome JudgeAcl(const std::wstring& path, bool directory) {
    const AclVerdict verdict = JudgeReportAcl(path, directory);
    return verdict.problem.empty() ? Pass(verdict.sddl) : Fail(verdict.problem);
}

Outcome CheckAclOfReport(const Context& context, const Case& self, const std::wstring& folder) {
    const std::wstring why = OpenToUsers(folder);
    if (!why.empty()) return CannotPrepare(why);
    const std::wstring path = Join(folder, self.report);
    DWORD exitCode = 0;
    const std::wstring problem = RunStatus(context, path, exitCode);
    if (!problem.empty()) return Fail(problem);
    if (!ReadWholeFile(path)) return Fail(L"no report at " + path);
    return JudgeAcl(path, false);
}

Outcome CheckAclOfDirectory(const Context& context, const Case& self, const std::wstring& folder) {
    const std::wstring why = OpenToUsers(folder);
    if (!why.empty()) return CannotPrepare(why);
    DWORD exitCode = 0;
    const std::wstring problem = RunStatus(context, Join(folder, self.report), exitCode);
    if (!problem.empty()) return Fail(problem);
    const std::wstring made = Join(folder, L"made");
    if (LookAt(made).attributes != FILE_ATTRIBUTE_DIRECTORY) return Fail(L"no plain directory at " + made);
    return JudgeAcl(made, true);
}

// The target as the launcher writes it into PowerShell's script text: bare when nothing in it
// means something to PowerShell, else a single-quoted string with its quotes doubled.
std::wstring PowerShellTarget(const std::wstring& path) {
    static const std::wstring kBare =
        L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\\:._-~";
    if (path.find_first_not_of(kBare) == std::wstring::npos) return path;
    std::wstring quoted = L"'";
    for (wchar_t c : path) {
        if (c == L'\'' || (c >= 0x2018 && c <= 0x201B)) quoted += c;
        quoted += c;
    }
    return quoted + L"'";
}

// Informational: what Windows PowerShell leaves in a `>` target for a package it does not know.
Outcome CheckPowerShellBytes(const Context& context, const Case& self, const std::wstring& folder) {
    const std::wstring program = Join(context.systemFolder, L"WindowsPowerShell\\v1.0\\powershell.exe");
    if (LookAt(program).attributes == INVALID_FILE_ATTRIBUTES) return CannotPrepare(L"no " + program);
    const std::wstring target = Join(folder, self.report);
    const RunResult run = RunAndWait(program,
                                     std::wstring(L"powershell.exe Get-ProvisioningPackage -PackageId ") + kPackageId +
                                         L" >" + PowerShellTarget(target),
                                     context.folder);
    if (!run.problem.empty()) return Fail(run.problem);
    const std::optional<std::string> bytes = ReadWholeFile(target);
    if (!bytes) return Fail(L"PowerShell left no file at " + target);
    return Pass(std::to_wstring(bytes->size()) + L" bytes" + (bytes->empty() ? L"" : L": " + HexBytes(*bytes, 32)));
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
        {L"file-symlink", CheckUnchanged, PlantFileLink, L"status.txt", Kind::Refusal},
        {L"directory-symlink", CheckUnchanged, PlantDirectoryLink, L"status.txt", Kind::Refusal},
        {L"dangling-symlink", CheckUnchanged, PlantDanglingLink, L"status.txt", Kind::Refusal},
        {L"junction-at-report", CheckUnchanged, PlantJunctionAtReport, L"status.txt", Kind::Refusal},
        {L"hard-link", CheckUnchanged, PlantHardLink, L"status.txt", Kind::Refusal},
        {L"junction-as-folder", CheckUnchanged, PlantJunction, L"j\\status.txt", Kind::Refusal},
        {L"junction-in-chain", CheckUnchanged, PlantJunction, L"j\\missing\\status.txt", Kind::Refusal},
        // The chain makes new1 and new2, then fails on a name Windows refuses: both must go again.
        {L"chain-rollback", CheckUnchanged, PlantKeepFile, L"new1\\new2\\bad?name\\status.txt"},
        {L"acl-report", CheckAclOfReport, nullptr, L"status.txt"},
        {L"acl-directory", CheckAclOfDirectory, nullptr, L"made\\status.txt"},
        {L"powershell-absent-bytes", CheckPowerShellBytes, nullptr, L"absent.pkt", Kind::Info},
    }, PathWalkCases());
    return cases;
}

}  // namespace verify
