#include "Launch.h"

#include <tlhelp32.h>

#include <algorithm>
#include <vector>

#include "CasePaths.h"
#include "Files.h"
#include "Handles.h"
#include "TempReports.h"
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

std::wstring ownTempFolder;   // set once the scratch folder is made

using GetTempPath2WFunction = DWORD(WINAPI*)(DWORD, LPWSTR);

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

// Runs of the launcher on this machine, by image name: those of this program are in its job,
// which ends them before this is asked again.
std::vector<std::wstring> LauncherRuns() {
    std::vector<std::wstring> runs;
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!snapshot || !Process32FirstW(snapshot.get(), &entry)) return runs;
    do {
        if (CompareStringOrdinal(entry.szExeFile, -1, kLauncherImage, -1, TRUE) == CSTR_EQUAL) {
            runs.push_back(std::wstring(kLauncherImage) + L" (process " + std::to_wstring(entry.th32ProcessID) + L")");
        }
    } while (Process32NextW(snapshot.get(), &entry));
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

RunResult RunAndWait(const std::wstring& program, std::wstring commandLine, const std::wstring& directory) {
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
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    LARGE_INTEGER started{}, ended{};
    QueryPerformanceCounter(&started);
    // Suspended until it is in the job, so that nothing it starts can escape it.
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, directory.c_str(), &startup, &info)) {
        const DWORD error = GetLastError();
        const std::wstring code = L" (error " + std::to_wstring(error) + L")";
        if (BlockedByPolicy(error)) {
            // This machine's policy, not the launcher: what the case would show stays unknown.
            result.verdict = Verdict::CannotPrepare;
            result.problem = L"application control refuses to start " + program + code +
                             L": allow this program's copies in its scratch folder, or run it where they are allowed";
        } else {
            result.problem = L"could not start " + program + code;
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
    const bool endedByItself = WaitForSingleObject(process.get(), runTimeoutMs) == WAIT_OBJECT_0;
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
                                 double* milliseconds) {
    const std::wstring tooLong = TooLongForTheLauncher(reportPath);
    if (!tooLong.empty()) return CannotPrepare(tooLong);
    // The first argument follows the program-name rule: quotes only group, no escapes.
    const std::wstring commandLine = L"\"" + context.launcher + L"\" /getstatus " + QuoteArgument(reportPath);
    const RunResult run = RunAndWait(context.launcher, commandLine, context.folder);
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
