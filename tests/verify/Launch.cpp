#include "Launch.h"

#include <tlhelp32.h>
#include <wtsapi32.h>

#include <algorithm>
#include <map>
#include <vector>

#include "CasePaths.h"
#include "Files.h"
#include "Handles.h"
#include "TempReports.h"
#include "Tokens.h"
#include "platform/win32/SystemExport.h"

namespace verify {
namespace {

// PowerShell's first start on a fresh machine can take a while; a hang still ends the case.
DWORD runTimeoutMs = 5 * 60 * 1000;
// How long the ending of a job's processes and the release of their files may take.
constexpr DWORD kEndingMs = 10 * 1000;
constexpr wchar_t kTempReportPattern[] = L"norv4c7d2a00-91e3-4b58-a6f2-3d05c*.pkt";
constexpr wchar_t kLauncherImage[] = L"ppkg-launcher.exe";
// How application control refuses a start: AppLocker and software restriction policies
// (ERROR_ACCESS_DISABLED_BY_POLICY, ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY) and App Control
// for Business (ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION); mingw-w64 lacks the last two.
constexpr DWORD kNoSaferUiByPolicy = 786;
constexpr DWORD kSystemIntegrityPolicyViolation = 4551;
constexpr DWORD kBlockedByPolicy[] = {ERROR_ACCESS_DISABLED_BY_POLICY, kNoSaferUiByPolicy, kSystemIntegrityPolicyViolation};
// ERROR_VIRUS_INFECTED (System Error Codes 0-499), which mingw-w64 lacks: a scanner took the file
// for malware. The review that asked for it names Smart App Control as answering so too (unconfirmed).
constexpr DWORD kVirusInfected = 225;
// How often a watched run is looked at.
constexpr DWORD kWatchMs = 20;

std::wstring ownTempFolder;   // set once the scratch folder is made

using GetTempPath2WFunction = DWORD(WINAPI*)(DWORD, LPWSTR);
using EnumerateProcessesFunction = BOOL(WINAPI*)(HANDLE, DWORD, DWORD, PWTS_PROCESS_INFOW*, DWORD*);
using FreeMemoryFunction = void(WINAPI*)(PVOID);

std::vector<std::wstring> TempReports(const std::wstring& folder) {
    std::vector<std::wstring> names;
    if (folder.empty()) return names;
    WIN32_FIND_DATAW data{};
    const UniqueFind search(FindFirstFileW(Join(folder, kTempReportPattern).c_str(), &data));
    if (!search) return names;
    do {
        names.emplace_back(data.cFileName);
    } while (FindNextFileW(search.get(), &data));
    return names;
}

std::vector<std::wstring> Appeared(const std::vector<std::wstring>& now, const std::vector<std::wstring>& before) {
    std::vector<std::wstring> appeared;
    for (const std::wstring& name : now) {
        if (std::find(before.begin(), before.end(), name) == before.end()) appeared.push_back(name);
    }
    return appeared;
}

// Removes temp reports this program's own run made; their paths, each with what became of it.
std::wstring RemoveTempReports(const std::wstring& folder, const std::vector<std::wstring>& names) {
    std::wstring removed;
    for (const std::wstring& name : names) {
        const std::wstring path = Join(folder, name);
        // A process just ended may hold the file for a moment.
        bool gone = false;
        for (int attempt = 0; attempt < 20 && !gone; ++attempt) {
            gone = DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
            if (!gone) Sleep(250);
        }
        removed += (removed.empty() ? L"" : L", ") + path + (gone ? L" (removed)" : L" (could not be removed)");
    }
    return removed;
}

// Who runs each process, by process id: WTSEnumerateProcessesW hands an administrator every
// account's processes with the user SID of each one's token (wtsapi32.dll is no KnownDLL, so it
// is loaded from the system folder, never imported).
std::map<DWORD, std::wstring> ProcessAccounts() {
    std::map<DWORD, std::wstring> accounts;
    const UniqueLibrary library(LoadLibraryExW(L"wtsapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!library) return accounts;
    const auto enumerate = platform::win32::ExportOf<EnumerateProcessesFunction>(library.get(), "WTSEnumerateProcessesW");
    const auto release = platform::win32::ExportOf<FreeMemoryFunction>(library.get(), "WTSFreeMemory");
    PWTS_PROCESS_INFOW processes = nullptr;
    DWORD count = 0;
    if (enumerate == nullptr || release == nullptr || !enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &processes, &count)) {
        return accounts;
    }
    for (DWORD i = 0; i < count; ++i) {
        const std::wstring sid = SidText(processes[i].pUserSid);
        const std::wstring name = AccountName(processes[i].pUserSid);
        if (!sid.empty()) accounts[processes[i].ProcessId] = (name.empty() ? L"" : name + L" ") + sid;
    }
    release(processes);
    return accounts;
}

std::wstring ImagePath(DWORD processId) {
    const UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    wchar_t path[MAX_PATH * 2];
    DWORD size = MAX_PATH * 2;
    return process && QueryFullProcessImageNameW(process.get(), 0, path, &size) ? std::wstring(path, size) : std::wstring();
}

// Runs of the launcher on this machine, by image name, each with who started it and from where,
// so that a process any user may name so is named in the line it causes. Those of this program
// are in its job, which ends them before this is asked again.
std::vector<std::wstring> LauncherRuns() {
    std::vector<DWORD> found;
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!snapshot || !Process32FirstW(snapshot.get(), &entry)) return {};
    do {
        if (CompareStringOrdinal(entry.szExeFile, -1, kLauncherImage, -1, TRUE) == CSTR_EQUAL) {
            found.push_back(entry.th32ProcessID);
        }
    } while (Process32NextW(snapshot.get(), &entry));
    std::vector<std::wstring> runs;
    if (found.empty()) return runs;
    const std::map<DWORD, std::wstring> accounts = ProcessAccounts();
    for (const DWORD id : found) {
        const auto account = accounts.find(id);
        const std::wstring path = ImagePath(id);
        runs.push_back(std::wstring(kLauncherImage) + L" (process " + std::to_wstring(id) + L", run by " +
                       (account == accounts.end() ? L"an account that cannot be read" : account->second) +
                       (path.empty() ? L"" : L", " + path) + L")");
    }
    return runs;
}

bool SameFolder(std::wstring a, std::wstring b) {
    while (!a.empty() && a.back() == L'\\') a.pop_back();
    while (!b.empty() && b.back() == L'\\') b.pop_back();
    return !a.empty() && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool BlockedByPolicy(DWORD error) {
    return std::find(std::begin(kBlockedByPolicy), std::end(kBlockedByPolicy), error) != std::end(kBlockedByPolicy);
}

// Where the program's start was refused by this machine's protection rather than failed: not
// prepared, with what to do; empty for any other error.
std::wstring RefusedByThisMachine(const std::wstring& program, DWORD error) {
    const std::wstring code = L" (error " + std::to_wstring(error) + L")";
    if (BlockedByPolicy(error)) {
        return L"application control refuses to start " + program + code +
               L": allow this program's copies in its scratch folder, or run it where they are allowed";
    }
    if (error == kVirusInfected) {
        return L"a virus scanner or Smart App Control refuses to start " + program + code +
               L": allow this program's copies in its scratch folder (compare them with the release's SHA256SUMS "
               L"first), or run it where they are allowed";
    }
    return {};
}

// The attribute list that lets a started program inherit `handle` and no other.
class InheritOnly {
public:
    explicit InheritOnly(HANDLE handle) : handle_(handle) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        buffer_.assign(size, 0);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
        ready_ = InitializeProcThreadAttributeList(list_, 1, 0, &size) &&
                 UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_, sizeof handle_, nullptr,
                                           nullptr);
    }
    InheritOnly(const InheritOnly&) = delete;
    InheritOnly& operator=(const InheritOnly&) = delete;
    InheritOnly(InheritOnly&&) = delete;
    InheritOnly& operator=(InheritOnly&&) = delete;
    ~InheritOnly() {
        if (ready_) DeleteProcThreadAttributeList(list_);
    }
    LPPROC_THREAD_ATTRIBUTE_LIST List() const { return ready_ ? list_ : nullptr; }

private:
    HANDLE handle_;
    std::vector<BYTE> buffer_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    bool ready_ = false;
};

UniqueKernelHandle KillingJob() {
    UniqueKernelHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        job.reset();
    }
    return job;
}

// Ends every process of the job and waits until none is left.
void EndJob(HANDLE job) {
    TerminateJobObject(job, 1);
    for (DWORD waited = 0; waited < kEndingMs; waited += 100) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                       nullptr) ||
            accounting.ActiveProcesses == 0) {
            return;
        }
        Sleep(100);
    }
}

double Elapsed(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart == 0 ? 0 : static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 /
                                             static_cast<double>(frequency.QuadPart);
}

}  // namespace

std::wstring QuoteArgument(const std::wstring& a) {
    if (!a.empty() && a.find_first_of(L" \t\n\v\"") == std::wstring::npos) return a;
    std::wstring r = L"\"";
    for (std::size_t i = 0;; ++i) {
        std::size_t slashes = 0;
        while (i < a.size() && a[i] == L'\\') {
            ++i;
            ++slashes;
        }
        if (i == a.size()) {
            r.append(slashes * 2, L'\\');
            break;
        }
        r.append(a[i] == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        r += a[i];
    }
    r += L'"';
    return r;
}

std::wstring LauncherTempFolder() {
    const auto getTempPath2W =
        platform::win32::LoadedExport<GetTempPath2WFunction>(L"kernel32.dll", "GetTempPath2W");
    wchar_t path[MAX_PATH + 1];
    const DWORD got = getTempPath2W != nullptr ? getTempPath2W(MAX_PATH + 1, path) : GetTempPathW(MAX_PATH + 1, path);
    return got == 0 || got > MAX_PATH ? std::wstring() : std::wstring(path, got);
}

void SetRunTimeout(DWORD milliseconds) { runTimeoutMs = milliseconds; }

void UseOwnTempFolder(const std::wstring& folder) {
    ownTempFolder = folder;
    SetEnvironmentVariableW(L"TMP", folder.c_str());
    SetEnvironmentVariableW(L"TEMP", folder.c_str());
}

RunResult RunAndWait(const std::wstring& program, std::wstring commandLine, const std::wstring& directory,
                     const RunOptions& options) {
    RunResult result;
    const std::wstring tempFolder = LauncherTempFolder();
    const std::vector<std::wstring> reportsBefore = TempReports(tempFolder);
    TempReportsSeen seen;
    seen.ownFolder = SameFolder(tempFolder, ownTempFolder);
    seen.otherRuns = LauncherRuns();
    const UniqueKernelHandle job = KillingJob();
    if (!job) {
        result.problem = L"could not make a job object (error " + std::to_wstring(GetLastError()) + L")";
        return result;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    const InheritOnly inherited(options.output);
    DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
    if (options.output != nullptr) {
        if (inherited.List() == nullptr) {
            result.problem = L"could not limit what " + program + L" inherits (error " + std::to_wstring(GetLastError()) + L")";
            return result;
        }
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdOutput = options.output;
        startup.StartupInfo.hStdError = options.output;
        startup.lpAttributeList = inherited.List();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    const BOOL inherit = options.output != nullptr ? TRUE : FALSE;
    PROCESS_INFORMATION info{};
    LARGE_INTEGER started{}, ended{};
    QueryPerformanceCounter(&started);
    // Suspended until it is in the job, so that nothing it starts can escape it.
    const BOOL created =
        options.token != nullptr
            ? CreateProcessAsUserW(options.token, program.c_str(), commandLine.data(), nullptr, nullptr, inherit, flags,
                                   nullptr, directory.c_str(), &startup.StartupInfo, &info)
            : CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, inherit, flags, nullptr,
                             directory.c_str(), &startup.StartupInfo, &info);
    if (!created) {
        const DWORD error = GetLastError();
        result.problem = RefusedByThisMachine(program, error);
        // This machine's protection, not the launcher: what the case would show stays unknown.
        if (!result.problem.empty()) {
            result.verdict = Verdict::CannotPrepare;
        } else {
            result.problem = L"could not start " + program + L" (error " + std::to_wstring(error) + L")";
        }
        return result;
    }
    // Declared so that the process handle is closed before the thread handle.
    const UniqueKernelHandle thread(info.hThread);
    const UniqueKernelHandle process(info.hProcess);
    if (!AssignProcessToJobObject(job.get(), process.get())) {
        const DWORD error = GetLastError();
        TerminateProcess(process.get(), 1);
        result.problem = L"could not put " + program + L" in a job (error " + std::to_wstring(error) + L")";
        return result;
    }
    ResumeThread(thread.get());
    bool endedByItself = false;
    if (options.watch) {
        const ULONGLONG until = GetTickCount64() + runTimeoutMs;
        while (!endedByItself && GetTickCount64() < until) {
            options.watch(process.get(), info.dwProcessId);
            endedByItself = WaitForSingleObject(process.get(), kWatchMs) == WAIT_OBJECT_0;
        }
    } else {
        endedByItself = WaitForSingleObject(process.get(), runTimeoutMs) == WAIT_OBJECT_0;
    }
    QueryPerformanceCounter(&ended);
    result.milliseconds = Elapsed(started, ended);
    if (endedByItself && !GetExitCodeProcess(process.get(), &result.exitCode)) {
        result.problem = L"no exit code (error " + std::to_wstring(GetLastError()) + L")";
    }
    EndJob(job.get());

    seen.appeared = Appeared(TempReports(tempFolder), reportsBefore);
    for (const std::wstring& run : LauncherRuns()) {
        if (std::find(seen.otherRuns.begin(), seen.otherRuns.end(), run) == seen.otherRuns.end()) seen.otherRuns.push_back(run);
    }
    const TempReportsJudgement judgement = JudgeTempReports(seen, endedByItself);
    const std::wstring removed = judgement.removeAppeared ? RemoveTempReports(tempFolder, seen.appeared) : L"";
    if (!endedByItself) {
        result.problem = program + L" did not end within " + std::to_wstring(runTimeoutMs / 1000) +
                         L" seconds: ended with all it started" +
                         (removed.empty() ? L"" : L"; its temp report " + removed) +
                         (judgement.verdict == Verdict::Pass ? L"" : L"; " + judgement.detail);
        // A hang beside another run of the launcher may be that run's doing.
        if (!seen.otherRuns.empty()) result.verdict = Verdict::CannotPrepare;
        return result;
    }
    if (result.problem.empty() && judgement.verdict != Verdict::Pass) {
        result.problem = judgement.detail + (removed.empty() ? L"" : L": " + removed);
        result.verdict = judgement.verdict;
    }
    return result;
}

std::optional<Outcome> RunStatus(const Context& context, const std::wstring& reportPath, DWORD& exitCode,
                                 double* milliseconds, const RunOptions& options) {
    const std::wstring tooLong = TooLongForTheLauncher(reportPath);
    if (!tooLong.empty()) return CannotPrepare(tooLong);
    // The first argument follows the program-name rule: quotes only group, no escapes.
    const std::wstring commandLine = L"\"" + context.launcher + L"\" /getstatus " + QuoteArgument(reportPath);
    const RunResult run = RunAndWait(context.launcher, commandLine, context.folder, options);
    if (!run.problem.empty()) return Outcome{run.verdict, run.problem};
    exitCode = run.exitCode;
    if (milliseconds != nullptr) *milliseconds = run.milliseconds;
    if (exitCode > 1) {
        wchar_t text[64];
        wsprintfW(text, L"the launcher ended with 0x%08X, not 0 or 1", exitCode);
        return Fail(text);
    }
    return std::nullopt;
}

}  // namespace verify
