// ppkg-verify.exe [/keep]
// Run elevated on a Windows machine from a folder holding ppkg-launcher.exe: it plants links,
// junctions and open folders in a scratch folder of its own next to itself, runs the launcher's
// /getstatus against each and checks what was left. Nothing outside the scratch folder is
// touched; the scratch folder is removed at the end unless /keep is given.

#include <windows.h>

#include <string>
#include <string_view>
#include <utility>

#include "Cases.h"
#include "Files.h"
#include "Verdicts.h"

namespace {

using namespace verify;

constexpr DWORD kLongPath = 32768;

void Print(const std::wstring& line) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, put = 0;
    if (GetConsoleMode(out, &mode)) {
        const std::wstring text = line + L"\r\n";
        WriteConsoleW(out, text.c_str(), static_cast<DWORD>(text.size()), &put, nullptr);
        return;
    }
    // Redirected: UTF-8, so a path with any character survives.
    const int need = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(need > 0 ? need : 0), '\0');
    if (need > 0) {
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(), need, nullptr,
                            nullptr);
    }
    bytes += "\r\n";
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
}

std::wstring OwnFolder() {
    std::wstring path(kLongPath, L'\0');
    const DWORD got = GetModuleFileNameW(nullptr, path.data(), kLongPath);
    if (got == 0 || got >= kLongPath) return {};
    path.resize(got);
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring SystemFolder() {
    wchar_t path[MAX_PATH];
    const UINT got = GetSystemDirectoryW(path, MAX_PATH);
    return got == 0 || got >= MAX_PATH ? std::wstring() : std::wstring(path, got);
}

bool IsAdministrator() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
           CheckTokenMembership(nullptr, sid, &member) && member;
}

int Refuse(const std::wstring& why) {
    Print(L"ppkg-verify: " + why);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (std::wstring_view(argv[i]) == L"/keep") keep = true;
        else return Refuse(L"usage: ppkg-verify.exe [/keep]");
    }

    const std::wstring folder = OwnFolder();
    Context context{Join(folder, L"ppkg-launcher.exe"), SystemFolder(), folder, {}};
    if (folder.empty() || context.systemFolder.empty()) return Refuse(L"cannot read its own or the system folder");
    if (LookAt(context.launcher).attributes == INVALID_FILE_ATTRIBUTES ||
        (LookAt(context.launcher).attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return Refuse(L"no ppkg-launcher.exe beside this program in " + folder);
    }
    if (!IsAdministrator()) return Refuse(L"run it from an elevated prompt (as administrator)");

    context.scratch = Join(folder, L"ppkg-verify-scratch-" + std::to_wstring(GetCurrentProcessId()));
    // A new folder, never one already there: everything the cases touch lies inside it.
    if (!CreateDirectoryW(context.scratch.c_str(), nullptr)) {
        return Refuse(L"cannot create " + context.scratch + L" (error " + std::to_wstring(GetLastError()) + L")");
    }
    if (keep) Print(L"scratch folder: " + context.scratch);

    Tally tally;
    for (const Case& c : AllCases()) {
        const std::wstring caseFolder = Join(context.scratch, c.name);
        Outcome outcome{Verdict::Fail, L"cannot create " + caseFolder};
        if (CreateDirectoryW(caseFolder.c_str(), nullptr)) outcome = c.check(context, c, caseFolder);
        Print(CaseLine(c.name, tally.Settle(c, std::move(outcome))));
    }

    if (!keep) {
        // A virus scanner, or a process still ending, may hold a file it just saw for a moment.
        std::wstring stayed = RemoveTree(context.scratch);
        for (int attempt = 0; attempt < 10 && !stayed.empty(); ++attempt) {
            Sleep(500);
            stayed = RemoveTree(context.scratch);
        }
        if (!stayed.empty()) {
            tally.AddFailure();
            Print(L"cleanup: FAIL: could not remove " + stayed);
        }
    }
    Print(tally.ClosingLine());
    return tally.ExitCode();
}
