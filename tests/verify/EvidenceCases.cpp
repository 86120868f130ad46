#include "EvidenceCases.h"

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cwctype>
#include <optional>
#include <string>
#include <utility>

#include "Files.h"
#include "Handles.h"
#include "Launch.h"
#include "PeImports.h"
#include "QueryVerdict.h"
#include "SplitRows.h"
#include "Text.h"

namespace verify {
namespace {

// No machine holds this package: the answer is the one for an absent package.
constexpr wchar_t kAbsentPackageId[] = L"6f1e0c52-3b7a-4d19-9e84-2a5c7d30b1f6";
constexpr std::size_t kShownBytes = 48;
constexpr wchar_t kKnownDllsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs";
// The launcher is a few hundred kilobytes; its import table is read from the copy the cases run.
constexpr DWORD kMaxImage = 64 * 1024 * 1024;
constexpr int kTimedRuns = 7;


// The target as the launcher writes it into PowerShell's command line: bare when nothing in it
// means something to PowerShell, else inside "'...'" with each single quote doubled.
std::wstring PowerShellTarget(const std::wstring& path) {
    static const std::wstring kBare = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\\:._-~";
    if (path.find_first_not_of(kBare) == std::wstring::npos) return path;
    std::wstring quoted = L"\"'";
    for (const wchar_t c : path) {
        if (c == L'\'' || (c >= 0x2018 && c <= 0x201B)) quoted += c;
        quoted += c;
    }
    return quoted + L"'\"";
}

struct PowerShellRow {
    const wchar_t* name;
    const wchar_t* call;    // after "powershell.exe ", the package id appended
    const wchar_t* after;   // after the redirection
    PowerShellEvidence QueryEvidence::*kept;   // where query-verdict finds what it left
};
const PowerShellRow kPowerShellRows[] = {
    {L"powershell-absent-bytes", L"Get-ProvisioningPackage -PackageId ", L"", &QueryEvidence::absent},
    // A call the cmdlet refuses, its error stream left alone and then merged into the target.
    {L"powershell-failed-call", L"Get-ProvisioningPackage -NoSuchParameter -PackageId ", L"", &QueryEvidence::failed},
    {L"powershell-failed-call-merged", L"Get-ProvisioningPackage -NoSuchParameter -PackageId ", L" 2>&1",
     &QueryEvidence::merged},
};

// What Windows PowerShell leaves in a `>` target that holds the launcher's marker beforehand.
Outcome CheckPowerShellBytes(const Context& context, const Case& self, const std::wstring& folder) {
    const auto row = std::find_if(std::begin(kPowerShellRows), std::end(kPowerShellRows),
                                  [&](const PowerShellRow& r) { return std::wstring(r.name) == self.name; });
    if (row == std::end(kPowerShellRows)) return Fail(L"no PowerShell call for this case");
    const std::wstring program = Join(context.systemFolder, L"WindowsPowerShell\\v1.0\\powershell.exe");
    if (LookAt(program).attributes == INVALID_FILE_ATTRIBUTES) return CannotPrepare(L"no " + program);
    const std::wstring target = Join(folder, self.report);
    if (!WriteNewFile(target, std::string(kReservationMarker))) return Fail(L"cannot write the marker into " + target);
    const RunResult run = RunAndWait(
        program, std::wstring(L"powershell.exe ") + row->call + kAbsentPackageId + L" >" + PowerShellTarget(target) + row->after,
        context.folder);
    if (!run.problem.empty()) return {run.verdict, run.problem};
    const std::optional<std::string> bytes = ReadWholeFile(target);
    if (!bytes) return Fail(L"PowerShell left no readable file at " + target);
    if (context.evidence != nullptr) context.evidence->*row->kept = PowerShellEvidence{true, *bytes, run.exitCode};
    const std::wstring marker = *bytes == kReservationMarker ? L"the marker is still there, untouched"
                                : bytes->rfind(kReservationMarker, 0) == 0 ? L"the marker is still there, more after it"
                                                                           : L"the marker is gone";
    std::wstring shown = std::to_wstring(bytes->size()) + L" bytes";
    if (!bytes->empty()) shown += L": " + HexBytes(*bytes, kShownBytes);
    return {Verdict::Info, shown + L"; " + marker + L"; PowerShell's exit code " + std::to_wstring(run.exitCode)};
}

std::wstring Wide(const char16_t* text) { return text == nullptr ? std::wstring() : platform::win32::Wide(text); }

std::wstring Shown(const std::wstring& commandLine, LPWSTR* arguments, int count) {
    std::wstring text = commandLine + L" ->";
    for (int i = 0; i < count; ++i) text += L" [" + std::wstring(arguments[i]) + L"]";
    return text;
}

// CommandLineToArgvW as the launcher calls it (from shcore.dll), on the rows its split was modelled on.
Outcome CheckCommandLineSplit(const Context&, const Case&, const std::wstring&) {
    std::wstring shown;
    for (const SplitRow& row : kSplitRows) {
        const std::wstring commandLine = Wide(row.commandLine);
        int count = 0;
        const UniqueLocal<LPWSTR*> arguments(CommandLineToArgvW(commandLine.c_str(), &count));
        if (!arguments) return Fail(L"CommandLineToArgvW failed on " + commandLine);
        bool same = count >= 0 && static_cast<std::size_t>(count) == row.count;
        for (std::size_t i = 0; same && i < row.count; ++i) same = Wide(row.arguments.at(i)) == arguments.get()[i];
        const std::wstring line = Shown(commandLine, arguments.get(), count);
        if (!same) {
            std::wstring expected = commandLine + L" ->";
            for (std::size_t i = 0; i < row.count; ++i) expected += L" [" + Wide(row.arguments.at(i)) + L"]";
            return Fail(L"Windows splits " + line + L"; the launcher was built for " + expected);
        }
        shown += (shown.empty() ? L"" : L"; ") + line;
    }
    return {Verdict::Pass, shown};
}

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

// The file names listed under KnownDLLs, lower-cased; nullopt when there is no such list.
std::optional<std::vector<std::wstring>> KnownDlls() {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKnownDllsKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.out()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        wchar_t data[512];
        DWORD nameLength = 256, dataBytes = sizeof data - sizeof(wchar_t), type = 0;
        const LSTATUS got = RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &dataBytes);
        if (got == ERROR_NO_MORE_ITEMS) break;
        if (got == ERROR_MORE_DATA) continue;   // no DLL has such a name
        if (got != ERROR_SUCCESS) return std::nullopt;
        if (type != REG_SZ) continue;
        names.push_back(Lower(std::wstring(data, dataBytes / sizeof(wchar_t)).c_str()));
    }
    return names;
}

// Where this process's ntdll.dll came from: the same file every process starts with.
std::wstring NtdllPath() {
    wchar_t path[MAX_PATH];
    const DWORD got = GetModuleFileNameW(GetModuleHandleW(L"ntdll.dll"), path, MAX_PATH);
    return got == 0 || got >= MAX_PATH ? std::wstring(L"(unknown)") : std::wstring(path, got);
}

// Every DLL the launcher imports is one Windows maps from the system folder whatever folder the
// launcher stands in: none can be planted beside it.
Outcome CheckKnownDlls(const Context& context, const Case&, const std::wstring&) {
    const std::optional<std::string> image = ReadWholeFile(context.launcher, kMaxImage);
    if (!image) return Fail(L"cannot read " + context.launcher);
    const auto imports = ImportedDllNames({reinterpret_cast<const std::uint8_t*>(image->data()), image->size()});
    if (!imports || imports->empty()) return Fail(L"the launcher's import table cannot be read");
    const std::optional<std::vector<std::wstring>> known = KnownDlls();
    if (!known) return CannotPrepare(L"no list at HKLM\\" + std::wstring(kKnownDllsKey));
    const auto listed = [](const std::vector<std::string>& names) {
        std::wstring text;
        for (const std::string& name : names) text += (text.empty() ? L"" : L", ") + std::wstring(name.begin(), name.end());
        return text;
    };
    const std::vector<std::string> outside = OutsideKnownDlls(*imports, *known);
    if (!outside.empty()) {
        return Fail(L"not in KnownDLLs, so looked for beside the launcher first: " + listed(outside) + L" (it imports " +
                    listed(*imports) + L")");
    }
    return {Verdict::Pass, L"each in KnownDLLs or, as ntdll.dll, in every process before its imports are read: " +
                               listed(*imports) + L"; ntdll.dll here is " + NtdllPath()};
}

// One line from the three powershell-* cases of this run: whether a failed query leaves what an
// absent package leaves, and what follows for /uninstall's 0 and "Not installed".
Outcome CheckQueryVerdict(const Context& context, const Case&, const std::wstring&) {
    if (context.evidence == nullptr) return CannotPrepare(L"no evidence was kept in this run");
    return JudgeQueryEvidence(*context.evidence);
}

std::wstring Ms(double milliseconds) { return std::to_wstring(static_cast<long long>(milliseconds + 0.5)) + L" ms"; }

// How long /getstatus takes on this machine, with two PowerShell starts for an absent package.
Outcome CheckTime(const Context& context, const Case& self, const std::wstring& folder) {
    std::vector<double> times;
    std::wstring exits;
    const std::wstring report = Join(folder, self.report);
    for (int run = 0; run < kTimedRuns; ++run) {
        DeleteFileW(report.c_str());
        DWORD exitCode = 0;
        double milliseconds = 0;
        if (const std::optional<Outcome> stopped = RunStatus(context, report, exitCode, &milliseconds)) return *stopped;
        times.push_back(milliseconds);
        const std::wstring code = std::to_wstring(exitCode);
        if (exits.find(code) == std::wstring::npos) exits += (exits.empty() ? L"" : L" and ") + code;
    }
    std::sort(times.begin(), times.end());
    return {Verdict::Pass, L"median " + Ms(times[times.size() / 2]) + L" of " + std::to_wstring(kTimedRuns) +
                               L" runs (fastest " + Ms(times.front()) + L", slowest " + Ms(times.back()) +
                               L"), exit " + exits};
}

}  // namespace

std::vector<Case> EvidenceCases() {
    std::vector<Case> cases;
    for (const PowerShellRow& row : kPowerShellRows) {
        cases.push_back({row.name, CheckPowerShellBytes, nullptr, L"answer.pkt", Kind::Info});
    }
    cases.push_back({L"query-verdict", CheckQueryVerdict, nullptr, nullptr});
    cases.push_back({L"command-line-split", CheckCommandLineSplit, nullptr, nullptr});
    cases.push_back({L"known-dlls", CheckKnownDlls, nullptr, nullptr});
    cases.push_back({L"getstatus-time", CheckTime, nullptr, L"status.txt", Kind::Info});
    return cases;
}

}  // namespace verify
