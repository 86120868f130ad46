#include "EvidenceCases.h"

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cwctype>
#include <optional>
#include <string>
#include <utility>

#include "Acl.h"
#include "Files.h"
#include "Handles.h"
#include "Launch.h"
#include "PeImports.h"
#include "PlantList.h"
#include "QueryVerdict.h"
#include "Scratch.h"
#include "SplitRows.h"
#include "Text.h"
#include "Tokens.h"
#include "packages/PackageIds.h"

namespace verify {
namespace {

// No machine holds this package: the answer is the one for an absent package.
constexpr wchar_t kAbsentPackageId[] = L"6f1e0c52-3b7a-4d19-9e84-2a5c7d30b1f6";
constexpr std::size_t kShownBytes = 48;
constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kKnownDllsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs";
constexpr wchar_t kSystemSid[] = L"S-1-5-18";
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

// One run of Windows PowerShell as the launcher starts it, with a `>` target that holds the
// launcher's marker beforehand and its output and error streams kept in a file of their own.
struct PowerShellCall {
    std::wstring call;     // after "powershell.exe ", up to the redirection
    std::wstring after;    // after the redirection target
    HANDLE token = nullptr;   // a token without administrators' rights, or null for this program's own
    std::wstring account;     // that token's account, which the target and the case's folder let in for the run
};

// A file this program makes for a started program's output streams, handed over as its only
// inherited handle.
UniqueFile MakeOutputFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    return UniqueFile(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Runs the call in the case's folder, the target `name` there; what it left goes to `seen`. A
// call with a token lets that one account into the folder (to look) and the target (to rewrite it)
// for the run alone, never inheritable, and gives both lists back on every way out.
std::optional<Outcome> AskPowerShell(const Context& context, const std::wstring& folder, const std::wstring& name,
                                     const PowerShellCall& call, PowerShellEvidence& seen) {
    const std::wstring program = Join(context.systemFolder, L"WindowsPowerShell\\v1.0\\powershell.exe");
    if (LookAt(program).attributes == INVALID_FILE_ATTRIBUTES) return CannotPrepare(L"no " + program);
    const std::wstring target = Join(folder, name + L".pkt");
    const std::wstring streams = Join(folder, name + L"-streams.txt");
    if (!WriteNewFile(target, std::string(kReservationMarker))) return Fail(L"cannot write the marker into " + target);
    RunResult run;
    {
        const UniqueFile output = MakeOutputFile(streams);
        if (!output) return Fail(ErrorText(L"making " + streams, GetLastError()));
        // The system account's own entries already let it in.
        std::optional<ListGivenBack> targetList;
        std::optional<ListGivenBack> folderList;
        if (call.token != nullptr && call.account != kSystemSid) {
            const std::optional<std::wstring> fileList = OneAccountList(call.account, kRewriteFileRights);
            const std::optional<std::wstring> lookList = OneAccountList(call.account, kLookInFolderRights);
            if (!fileList || !lookList) {
                return CannotPrepare(L"this account (" + call.account + L") is no single person's account: nothing is "
                                     L"opened to it");
            }
            targetList.emplace(target, kAdminsOnlyList.data());
            folderList.emplace(folder, kScratchSddl);
            std::wstring why = targetList->Open(*fileList);
            if (why.empty()) why = folderList->Open(*lookList);
            if (!why.empty()) return CannotPrepare(why);
        }
        RunOptions options;
        options.token = call.token;
        options.output = output.get();
        run = RunAndWait(program,
                         L"powershell.exe " + call.call + L" >" + PowerShellTarget(target) + call.after, folder, options);
        if (targetList && folderList) {
            std::wstring why = targetList->GiveBack();
            if (why.empty()) why = folderList->GiveBack();
            if (!why.empty()) return Fail(L"the list let in for the run could not be given back: " + why);
        }
    }
    if (!run.problem.empty()) return Outcome{run.verdict, run.problem};
    const std::optional<std::string> bytes = ReadWholeFile(target);
    if (!bytes) return Fail(L"PowerShell left no readable file at " + target);
    seen = PowerShellEvidence{true, *bytes, run.exitCode, ReadWholeFile(streams).value_or(std::string())};
    return std::nullopt;
}

// What PowerShell left, for the person reading: the bytes, the marker, the exit code, its error.
std::wstring Shown(const PowerShellEvidence& seen) {
    const std::wstring marker = seen.bytes == kReservationMarker ? L"the marker is still there, untouched"
                                : seen.bytes.rfind(kReservationMarker, 0) == 0 ? L"the marker is still there, more after it"
                                                                               : L"the marker is gone";
    std::wstring shown = std::to_wstring(seen.bytes.size()) + L" bytes";
    if (!seen.bytes.empty()) shown += L": " + HexBytes(seen.bytes, kShownBytes);
    const ErrorCategory error = ReadErrorCategory(seen.errorText);
    return shown + L"; " + marker + L"; read as " + ReadingName(ReadAsLauncher(seen.bytes)) + L"; PowerShell's exit code " +
           std::to_wstring(seen.exitCode) +
           (error.exception.empty() ? L"" : L"; its error: [" + Printable(error.command) + L"], " + Printable(error.exception));
}

const wchar_t kQuery[] = L"Get-ProvisioningPackage -PackageId ";

struct PowerShellRow {
    const wchar_t* name;
    const wchar_t* call;    // after "powershell.exe ", the package id appended
    const wchar_t* after;   // after the redirection
    PowerShellEvidence QueryEvidence::*kept;   // where query-verdict finds what it left
    bool withoutAdministrators;   // run with this account's token without administrators' rights
};
const PowerShellRow kPowerShellRows[] = {
    {L"powershell-absent", kQuery, L"", &QueryEvidence::absent, false},
    // A call PowerShell refuses before the cmdlet runs, its error stream left alone and then
    // merged into the target: the launcher's fixed command never makes it.
    {L"powershell-binding-error", L"Get-ProvisioningPackage -NoSuchParameter -PackageId ", L"", &QueryEvidence::binding,
     false},
    {L"powershell-binding-error-merged", L"Get-ProvisioningPackage -NoSuchParameter -PackageId ", L" 2>&1",
     &QueryEvidence::merged, false},
    // The launcher's exact query, failing while the cmdlet runs: asked without administrators'
    // rights, the store refuses the cmdlet after PowerShell bound its parameters and opened the
    // `>` target, where a failing store, service or engine would stop it on a managed device too.
    {L"powershell-runtime-failure", kQuery, L"", &QueryEvidence::runtime, true},
};

// What Windows PowerShell leaves in a `>` target that holds the launcher's marker beforehand.
Outcome CheckPowerShellBytes(const Context& context, const Case& self, const std::wstring& folder) {
    const auto row = std::find_if(std::begin(kPowerShellRows), std::end(kPowerShellRows),
                                  [&](const PowerShellRow& r) { return std::wstring(r.name) == self.name; });
    if (row == std::end(kPowerShellRows)) return Fail(L"no PowerShell call for this case");
    PowerShellCall call{row->call + std::wstring(kAbsentPackageId), row->after, nullptr, {}};
    NonAdministratorToken token;
    if (row->withoutAdministrators) {
        // Tried as the system account too: whether the store then refuses shows in what comes back.
        const std::wstring why = token.Make(true);
        if (!why.empty()) return CannotPrepare(why);
        call.token = token.Primary();
        call.account = token.Account();
    }
    PowerShellEvidence seen;
    if (const std::optional<Outcome> stopped = AskPowerShell(context, folder, L"answer", call, seen)) return *stopped;
    if (context.evidence != nullptr) context.evidence->*row->kept = seen;
    return {Verdict::Info, Shown(seen)};
}

// The launcher's exact query for each of its own packages: what a package this machine holds
// leaves, where one is installed.
Outcome CheckPowerShellPresent(const Context& context, const Case&, const std::wstring& folder) {
    std::wstring asked;
    for (const char* id : packages::PackageIds) {
        const std::wstring wide(id, id + std::char_traits<char>::length(id));
        PowerShellEvidence seen;
        if (const std::optional<Outcome> stopped =
                AskPowerShell(context, folder, wide, PowerShellCall{kQuery + wide, L"", nullptr, {}}, seen)) {
            return *stopped;
        }
        if (ReadAsLauncher(seen.bytes) == Reading::Installed) {
            if (context.evidence != nullptr) context.evidence->present = seen;
            return {Verdict::Info, wide + L": " + Shown(seen)};
        }
        asked += (asked.empty() ? L"" : L"; ") + wide + L": read as " + ReadingName(ReadAsLauncher(seen.bytes)) +
                 L", exit code " + std::to_wstring(seen.exitCode);
    }
    return {Verdict::Info, L"neither of the launcher's packages is installed here, so there are no bytes of a present "
                           L"package to show (" + asked + L")"};
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

// The names ExcludeFromKnownDlls lists (REG_MULTI_SZ under Session Manager), lower-cased, each
// with ".dll": the loader takes them off the KnownDLLs list. Microsoft documents no page for the
// value (unconfirmed); reading it can only make known-dlls stricter.
std::vector<std::wstring> ExcludedFromKnownDlls() {
    std::vector<std::wstring> names;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.out()) != ERROR_SUCCESS) {
        return names;
    }
    std::vector<wchar_t> data(8192, L'\0');
    DWORD bytes = static_cast<DWORD>((data.size() - 2) * sizeof(wchar_t));
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), L"ExcludeFromKnownDlls", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_MULTI_SZ) {
        return names;
    }
    for (std::size_t at = 0; at < bytes / sizeof(wchar_t) && data[at] != L'\0';) {
        std::wstring name = Lower(data.data() + at);
        at += name.size() + 1;
        if (name.size() < 4 || name.compare(name.size() - 4, 4, L".dll") != 0) name += L".dll";
        names.push_back(name);
    }
    return names;
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
    const std::vector<std::wstring> excluded = ExcludedFromKnownDlls();
    const std::vector<std::string> outside = OutsideKnownDlls(*imports, *known, excluded);
    if (!outside.empty()) {
        return Fail(L"not in KnownDLLs (or taken off it by ExcludeFromKnownDlls), so looked for beside the launcher first: " +
                    listed(outside) + L" (it imports " + listed(*imports) + L")");
    }
    const std::vector<std::string> apiSets = ApiSetNames(*imports);
    return {Verdict::Pass, L"each in KnownDLLs, an API set the loader resolves through its schema (" +
                               (apiSets.empty() ? std::wstring(L"none") : listed(apiSets)) +
                               L"), or ntdll.dll, in every process before its imports are read: " + listed(*imports) +
                               L"; ntdll.dll here is " + NtdllPath() +
                               (excluded.empty() ? L"" : L"; ExcludeFromKnownDlls lists " + std::to_wstring(excluded.size()) +
                                                             L" name(s), none of them imported")};
}

// One line from the powershell-* cases of this run: whether the launcher's query failing while
// the cmdlet runs leaves what an absent package leaves, and what follows for /uninstall's 0 and
// "Not installed".
Outcome CheckQueryVerdict(const Context& context, const Case&, const std::wstring&) {
    if (context.evidence == nullptr) return CannotPrepare(L"no evidence was kept in this run");
    QueryEvidence evidence = *context.evidence;
    evidence.asSystem = RunsAsSystem();
    return JudgeQueryEvidence(evidence);
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
    std::vector<Case> cases{{L"powershell-present", CheckPowerShellPresent, nullptr, nullptr, Kind::Info}};
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
