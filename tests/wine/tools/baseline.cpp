// baseline.exe COMMANDS
// The launcher's do-nothing twin for the cost bench. Built as the launcher is (flags, static
// runtime, GUI subsystem, manifest, the same DLL imports), it splits its command line with the
// same call and then starts the commands listed in COMMANDS one after another, hidden and awaited
// the way the launcher starts its tools. Whatever the launcher takes beyond this is its own work.
//
// COMMANDS holds one "APPLICATION<TAB>COMMAND LINE" a line, 8-bit, as the stand-ins trace them;
// an empty application leaves the program to the command line's first token.

#include <string>

#include "../common/Win.h"

namespace {

// Binds a DLL the launcher imports but this program has no call for, so that the loader maps the
// same set of libraries at start-up.
void (*volatile const boundImports[])() = {
    reinterpret_cast<void (*)()>(&RegCloseKey),
};

void runHidden(std::string application, std::string commandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(application.empty() ? nullptr : application.c_str(), commandLine.data(), nullptr, nullptr,
                        FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return;
    }
    const bench::Handle thread(info.hThread);
    const bench::Handle process(info.hProcess);
    WaitForSingleObject(process.get(), INFINITE);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    if (boundImports[0] == nullptr) return 2;
    int count = 0;
    const bench::LocalMem<LPWSTR*> arguments(CommandLineToArgvW(commandLine, &count));
    std::string list;
    if (arguments.get() == nullptr || count != 1 || !bench::readFile(arguments.get()[0], list)) return 1;

    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find('\n', at);
        if (end == std::string::npos) end = list.size();
        std::string line = list.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        runHidden(line.substr(0, tab), line.substr(tab + 1));
    }
    return 0;
}
