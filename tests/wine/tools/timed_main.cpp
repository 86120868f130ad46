// launcher-timed.exe: the launcher's own code on its Win32 platform, with every platform call
// timed by kind, so that the cost bench can tell what the launcher's time is made of. It runs
// exactly as the launcher does and then appends one line to the file named by
// PPKG_BENCH_TIMING: the performance-counter readings at entry and at return, the counter's
// frequency, and the microseconds spent in each kind of call.

#include <windows.h>

#include <array>
#include <string>
#include <utility>

#include "../common/Win.h"
#include "launcher/Entry.h"
#include "platform/win32/Win32Platform.h"

namespace {

// Flush: the report's flush to the disk, apart from the rest of its work, which it can outweigh.
enum Kind { Split, Tools, TempName, CodePage, Reserve, ReadBack, Remove, Registry, Report, Flush, Tracing, Other,
            KindCount };
constexpr std::array<const char*, KindCount> kKindNames = {"split",  "tools",    "tempname", "codepage",
                                                           "reserve", "read",    "remove",   "registry",
                                                           "report", "flush",    "trace",    "other"};

std::int64_t Now() {
    LARGE_INTEGER t{};
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

class TimedPlatform final : public platform::Platform {
public:
    explicit TimedPlatform(platform::Platform& os) : os_(os) {}
    std::array<std::int64_t, KindCount> spent{};

    template <typename Call>
    auto timed(Kind kind, Call&& call) {
        const std::int64_t start = Now();
        auto result = std::forward<Call>(call)();
        spent[kind] += Now() - start;
        return result;
    }

    std::optional<std::vector<std::u16string>> SplitCommandLine(const std::u16string& c) override {
        return timed(Split, [&] { return os_.SplitCommandLine(c); });
    }
    std::optional<std::string> SystemFolder() override {
        return timed(Other, [&] { return os_.SystemFolder(); });
    }
    platform::ChildProcess RunHiddenCommand(const std::string& a, const std::string& c) override {
        return timed(Tools, [&] { return os_.RunHiddenCommand(a, c); });
    }
    std::uint32_t TempFolder(char* b, std::uint32_t s) override {
        return timed(TempName, [&] { return os_.TempFolder(b, s); });
    }
    void SeedRandomFromClock() override {
        timed(TempName, [&] { os_.SeedRandomFromClock(); return 0; });
    }
    int NextRandom() override { return timed(TempName, [&] { return os_.NextRandom(); }); }
    platform::AnsiCodePage QueryAnsiCodePage() override {
        return timed(CodePage, [&] { return os_.QueryAnsiCodePage(); });
    }
    platform::ReserveResult ReserveFile(const std::string& p, std::string_view c) override {
        return timed(Reserve, [&] { return os_.ReserveFile(p, c); });
    }
    platform::ReadResult ReadWholeFile(const std::string& p, std::size_t m, platform::FileBytes& b) override {
        return timed(ReadBack, [&] { return os_.ReadWholeFile(p, m, b); });
    }
    bool RemoveFile(const std::string& p) override {
        return timed(Remove, [&] { return os_.RemoveFile(p); });
    }
    bool WriteRegistryString(const std::u16string& k, const std::u16string& v, const std::u16string& t) override {
        return timed(Registry, [&] { return os_.WriteRegistryString(k, v, t); });
    }
    bool DeleteRegistryTree(const std::u16string& k) override {
        return timed(Registry, [&] { return os_.DeleteRegistryTree(k); });
    }
    platform::Descriptor BuildDescriptor(const std::u16string& s) override {
        return timed(Report, [&] { return os_.BuildDescriptor(s); });
    }
    void FreeDescriptor(platform::Descriptor d) override {
        timed(Report, [&] { os_.FreeDescriptor(d); return 0; });
    }
    std::optional<std::u16string> CurrentDirectory() override {
        return timed(Report, [&] { return os_.CurrentDirectory(); });
    }
    std::optional<std::u16string> DriveDirectory(char16_t d) override {
        return timed(Report, [&] { return os_.DriveDirectory(d); });
    }
    std::optional<std::u16string> DeviceLink(const std::u16string& n) override {
        return timed(Report, [&] { return os_.DeviceLink(n); });
    }
    platform::FileHandle OpenRoot(const std::u16string& r, const platform::OpenRequest& q) override {
        return timed(Report, [&] { return os_.OpenRoot(r, q); });
    }
    platform::FileHandle OpenChild(platform::FileHandle p, const std::u16string& n,
                                   const platform::OpenRequest& q) override {
        return timed(Report, [&] { return os_.OpenChild(p, n, q); });
    }
    platform::FileHandle CreateChildDirectory(platform::FileHandle p, const std::u16string& n,
                                              const platform::OpenRequest& q,
                                              const platform::SecurityAttributes& s) override {
        return timed(Report, [&] { return os_.CreateChildDirectory(p, n, q, s); });
    }
    platform::FileHandle CreateChildFile(platform::FileHandle p, const std::u16string& n,
                                         const platform::OpenRequest& q,
                                         const platform::SecurityAttributes& s) override {
        return timed(Report, [&] { return os_.CreateChildFile(p, n, q, s); });
    }
    std::optional<platform::HandleInfo> QueryHandle(platform::FileHandle f) override {
        return timed(Report, [&] { return os_.QueryHandle(f); });
    }
    std::optional<std::u16string> QueryName(platform::FileHandle f) override {
        return timed(Report, [&] { return os_.QueryName(f); });
    }
    std::optional<platform::VolumeInfo> QueryVolume(platform::FileHandle f) override {
        return timed(Report, [&] { return os_.QueryVolume(f); });
    }
    platform::Descriptor ReadAccessList(platform::FileHandle f) override {
        return timed(Report, [&] { return os_.ReadAccessList(f); });
    }
    bool WriteAccessList(platform::FileHandle f, platform::Descriptor d) override {
        return timed(Report, [&] { return os_.WriteAccessList(f, d); });
    }
    bool MarkForDeletion(platform::FileHandle f) override {
        return timed(Report, [&] { return os_.MarkForDeletion(f); });
    }
    bool WriteBytes(platform::FileHandle f, const void* d, std::uint32_t s) override {
        return timed(Report, [&] { return os_.WriteBytes(f, d, s); });
    }
    bool FlushFile(platform::FileHandle f) override {
        return timed(Flush, [&] { return os_.FlushFile(f); });
    }
    bool RenameInto(platform::FileHandle f, platform::FileHandle d, const std::u16string& n) override {
        return timed(Report, [&] { return os_.RenameInto(f, d, n); });
    }
    void CloseFile(platform::FileHandle f) override {
        timed(Report, [&] { os_.CloseFile(f); return 0; });
    }
    std::uint32_t LastError() override { return os_.LastError(); }
    void Trace(const platform::TraceEvent& e) override {
        timed(Tracing, [&] { os_.Trace(e); return 0; });
    }

private:
    platform::Platform& os_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    const std::int64_t entry = Now();
    platform::win32::RestrictLibrarySearchToSystemFolder();
    platform::win32::RefuseUntrustedJunctions();
    platform::win32::Win32Platform win32;
    TimedPlatform os(win32);
    const std::u16string text(reinterpret_cast<const char16_t*>(commandLine));
    const std::uint32_t code = launcher::RunEntry(os, text);
    const std::int64_t returned = Now();

    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    std::string line = "entry_qpc=" + std::to_string(entry) + " return_qpc=" + std::to_string(returned) +
                       " qpc_hz=" + std::to_string(frequency.QuadPart);
    for (int kind = 0; kind < KindCount; ++kind) {
        line += std::string(" ") + kKindNames[static_cast<std::size_t>(kind)] +
                "_us=" + std::to_string(os.spent[static_cast<std::size_t>(kind)] * 1000000 / frequency.QuadPart);
    }
    line += '\n';
    wchar_t target[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"PPKG_BENCH_TIMING", target, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        const bench::Handle file(CreateFileW(target, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD put = 0;
        if (file.valid()) WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &put, nullptr);
    }
    return static_cast<int>(code);
}
