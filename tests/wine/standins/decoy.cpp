// Decoy placed as powershell.exe and provtool.exe where only a search would find them (beside
// the launcher, in its working directory). It does nothing but append to C:\decoy-ran.txt
// where it sits and how it was started, so that any run of it shows.

#include "../common/Win.h"

int wmain() {
    wchar_t self[MAX_PATH] = L"(unknown)";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::string line = bench::toUtf8(self) + " | " + bench::toUtf8(GetCommandLineW()) + "\n";
    bench::Handle log(CreateFileW(L"C:\\decoy-ran.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD put = 0;
    if (log.valid()) WriteFile(log.get(), line.data(), static_cast<DWORD>(line.size()), &put, nullptr);
    // Like the stub it replaces, it answers success and writes nothing the launcher reads.
    return 0;
}
