#include <vector>

#include "platform/win32/UniqueResource.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

// The parameters are the interface's, in CreateProcessA's order.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool Win32Platform::RunHiddenCommand(const std::string& application, const std::string& commandLine) {
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    // The program is named by its full path, so no search runs; the command line's first
    // token is only what the program sees as its own name.
    if (!CreateProcessA(application.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return false;
    }
    // Declared thread first so that the process handle is closed before the thread handle.
    const UniqueKernelHandle thread(info.hThread);
    const UniqueKernelHandle process(info.hProcess);
    WaitForSingleObject(process.get(), INFINITE);
    return true;
}

}  // namespace platform::win32
