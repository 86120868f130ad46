#include <vector>

#include "platform/win32/UniqueResource.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

// The parameters are the interface's, in CreateProcessA's order.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
ChildProcess Win32Platform::RunHiddenCommand(const std::string& application, const std::string& commandLine) {
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    ChildProcess child;
    // The program is named by its full path, so no search runs; the command line's first
    // token is only what the program sees as its own name.
    if (!CreateProcessA(application.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        Fail(GetLastError());
        return child;
    }
    // Declared thread first so that the process handle is closed before the thread handle.
    const UniqueKernelHandle thread(info.hThread);
    const UniqueKernelHandle process(info.hProcess);
    child.processId = info.dwProcessId;
    if (WaitForSingleObject(process.get(), INFINITE) == WAIT_FAILED) {
        child.end = ChildEnd::WaitFailed;
        child.waitError = GetLastError();
    } else {
        child.end = ChildEnd::Exited;
    }
    // Recorded for the trace only: nothing the launcher decides reads it.
    DWORD exitCode = 0;
    if (GetExitCodeProcess(process.get(), &exitCode)) {
        child.exitCode = exitCode;
    } else if (child.end == ChildEnd::Exited) {
        child.end = ChildEnd::ExitCodeUnreadable;
    }
    return child;
}

}  // namespace platform::win32
