#include "Launch.h"

#include <algorithm>
#include <vector>

#include "Files.h"
#include "Handles.h"
#include "platform/win32/SystemExport.h"

namespace verify {
namespace {

// PowerShell's first start on a fresh machine can take a while; a hang still ends the case.
DWORD runTimeoutMs = 5 * 60 * 1000;
// How long the ending of a job's processes and the release of their files may take.
constexpr DWORD kEndingMs = 10 * 1000;
constexpr wchar_t kTempReportPattern[] = L"norv4c7d2a00-91e3-4b58-a6f2-3d05c*.pkt";

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

// Removes the temp reports that were not there before; their names, or why one stayed.
std::wstring RemoveNewTempReports(const std::wstring& folder, const std::vector<std::wstring>& before) {
    std::wstring removed;
    for (const std::wstring& name : TempReports(folder)) {
        if (std::find(before.begin(), before.end(), name) != before.end()) continue;
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

RunResult RunAndWait(const std::wstring& program, std::wstring commandLine, const std::wstring& directory) {
    RunResult result;
    const std::wstring tempFolder = LauncherTempFolder();
    const std::vector<std::wstring> reportsBefore = TempReports(tempFolder);
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
        result.problem = L"could not start " + program + L" (error " + std::to_wstring(GetLastError()) + L")";
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
    const DWORD waited = WaitForSingleObject(process.get(), runTimeoutMs);
    QueryPerformanceCounter(&ended);
    result.milliseconds = Elapsed(started, ended);
    if (waited != WAIT_OBJECT_0) {
        EndJob(job.get());
        const std::wstring removed = RemoveNewTempReports(tempFolder, reportsBefore);
        result.problem = program + L" did not end within " + std::to_wstring(runTimeoutMs / 1000) +
                         L" seconds: ended with all it started" +
                         (removed.empty() ? L"" : L"; its temp report " + removed);
        return result;
    }
    if (!GetExitCodeProcess(process.get(), &result.exitCode)) {
        result.problem = L"no exit code (error " + std::to_wstring(GetLastError()) + L")";
    }
    EndJob(job.get());
    const std::wstring left = RemoveNewTempReports(tempFolder, reportsBefore);
    if (result.problem.empty() && !left.empty()) result.problem = L"the run left a temp report behind: " + left;
    return result;
}

std::wstring RunStatus(const Context& context, const std::wstring& reportPath, DWORD& exitCode, double* milliseconds) {
    // The first argument follows the program-name rule: quotes only group, no escapes.
    const std::wstring commandLine = L"\"" + context.launcher + L"\" /getstatus " + QuoteArgument(reportPath);
    const RunResult run = RunAndWait(context.launcher, commandLine, context.folder);
    if (!run.problem.empty()) return run.problem;
    exitCode = run.exitCode;
    if (milliseconds != nullptr) *milliseconds = run.milliseconds;
    if (exitCode > 1) {
        wchar_t text[64];
        wsprintfW(text, L"the launcher ended with 0x%08X, not 0 or 1", exitCode);
        return text;
    }
    return {};
}

}  // namespace verify
