#include "Launch.h"

#include "Handles.h"

namespace verify {
namespace {

// PowerShell's first start on a fresh machine can take a while; a hang still ends the case.
constexpr DWORD kTimeoutMs = 5 * 60 * 1000;

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

RunResult RunAndWait(const std::wstring& program, std::wstring commandLine, const std::wstring& directory) {
    RunResult result;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        directory.c_str(), &startup, &info)) {
        result.problem = L"could not start " + program + L" (error " + std::to_wstring(GetLastError()) + L")";
        return result;
    }
    const UniqueKernelHandle thread(info.hThread);
    const UniqueKernelHandle process(info.hProcess);
    if (WaitForSingleObject(process.get(), kTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 10 * 1000);
        result.problem = program + L" did not end within " + std::to_wstring(kTimeoutMs / 60000) + L" minutes";
        return result;
    }
    if (!GetExitCodeProcess(process.get(), &result.exitCode)) {
        result.problem = L"no exit code (error " + std::to_wstring(GetLastError()) + L")";
    }
    return result;
}

}  // namespace verify
