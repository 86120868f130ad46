// A stand-in for ppkg-launcher.exe that ppkg-verify's bench build is pointed at, to show that
// no launcher that does the wrong thing makes the verification program pass. What it does is
// set by PPKG_FAKE_LAUNCHER, which reaches it through the verification program's environment:
//   inert           writes nothing and answers 1, like a launcher whose every write is refused
//   writes-through  writes "Not installed" straight to the path given, following whatever
//                   stands there and making no folder, and answers 1
//   hangs           leaves a temp report named as the launcher's, starts a copy of itself that
//                   never ends, and never ends itself
//   leaves-temp     writes "Not installed" as writes-through does, leaves a temp report named as
//                   the launcher's, and answers 1
//   writes-empty    makes the report empty and answers 0, as if a package were reported
//   idles           never ends and does nothing: another deployment's run of the launcher

#include "../common/Win.h"

namespace {

constexpr char kNotInstalled[] = "Not installed\n";

void Hang() {
    for (;;) Sleep(INFINITE);
}

// A file named as the launcher's temp reports, in the temp folder the launcher would use.
void LeaveTempReport() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD got = GetTempPathW(MAX_PATH + 1, temp);
    if (got == 0 || got > MAX_PATH) return;
    const std::wstring report = std::wstring(temp) + L"norv4c7d2a00-91e3-4b58-a6f2-3d05c" +
                                std::to_wstring(GetCurrentProcessId()) + L".pkt";
    bench::Handle file(CreateFileW(report.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t mode[32] = L"";
    GetEnvironmentVariableW(L"PPKG_FAKE_LAUNCHER", mode, 32);
    const std::wstring_view how(mode);
    if ((argc == 2 && std::wstring_view(argv[1]) == L"child") || how == L"idles") Hang();
    if (how == L"writes-empty" && argc == 3) {
        bench::Handle file(CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        return 0;
    }
    if ((how == L"writes-through" || how == L"leaves-temp") && argc == 3) {
        bench::Handle file(CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD put = 0;
        if (file.valid()) WriteFile(file.get(), kNotInstalled, sizeof kNotInstalled - 1, &put, nullptr);
        if (how == L"leaves-temp") LeaveTempReport();
    } else if (how == L"hangs") {
        LeaveTempReport();
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring commandLine = L"\"" + std::wstring(self) + L"\" child";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            CloseHandle(info.hThread);
            CloseHandle(info.hProcess);
        }
        Hang();
    }
    return 1;
}
