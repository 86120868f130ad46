// ppkg-verify.exe [/keep] [/system]
// Run elevated on a Windows machine from a folder holding ppkg-launcher.exe that only the system,
// Administrators and TrustedInstaller may change. It holds its own file from start-up, checks
// that the launcher is the one it was built beside (by SHA-256) and that nobody else may change
// its folder or any folder above it, copies the launcher into a new scratch folder of its own,
// plants links, junctions and open folders there, runs the copy's /getstatus against each and
// checks what was left. Nothing outside the scratch folder is touched. The scratch folder is
// removed at the end unless /keep is given.
// /system runs all of it once more as the local system account, through a task of the Task
// Scheduler that is removed again, and prints that run.

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32/Win32Platform.h"
#include "Acl.h"
#include "Cases.h"
#include "Files.h"
#include "GuardJudge.h"
#include "KitFolder.h"
#include "LauncherHash.h"
#include "Launch.h"
#include "Output.h"
#include "OwnImage.h"
#include "QueryVerdict.h"
#include "Scratch.h"
#include "Sha256.h"
#include "SystemRun.h"
#include "Tokens.h"
#include "Verdicts.h"

namespace {

using namespace verify;

constexpr DWORD kLongPath = 32768;
constexpr DWORD kMaxImage = 64 * 1024 * 1024;
constexpr wchar_t kLauncherName[] = L"ppkg-launcher.exe";
constexpr wchar_t kProgramName[] = L"ppkg-verify.exe";
// The run as the system account writes these beside its copy of this program.
constexpr wchar_t kSystemOutput[] = L"system-output.txt";
constexpr wchar_t kSystemExit[] = L"system-exit.txt";
constexpr wchar_t kUsage[] = L"usage: ppkg-verify.exe [/keep] [/system]";

#ifdef PPKG_VERIFY_BENCH_BUILD
// The bench's build: it can be pointed at a stand-in launcher, given a shorter time limit, a few
// cases and the temp folder it was started with, and it goes on where the build shipped to
// administrators refuses (another launcher, a folder others may change), saying so each time.
// The shipped build has none of this.
constexpr bool kBenchBuild = true;
#else
constexpr bool kBenchBuild = false;
#endif

// The run the task started as the system account prints no closing line: the run that started it
// prints one for both, from the counts this one leaves it.
bool closingLineIsTheStarters = false;
RunCounts finalCounts;

struct Options {
    bool keep = false;
    bool system = false;
    bool systemChild = false;      // this is the run the task started
    std::wstring launcher;         // bench build: a launcher elsewhere
    DWORD timeoutSeconds = 0;      // bench build: a shorter limit per run
    std::vector<std::wstring> only;  // bench build: these cases alone
    bool sharedTemp = false;       // bench build: the launcher keeps the temp folder it would have
};

std::wstring ModulePath() {
    std::wstring path(kLongPath, L'\0');
    const DWORD got = GetModuleFileNameW(nullptr, path.data(), kLongPath);
    if (got == 0 || got >= kLongPath) return {};
    path.resize(got);
    return path;
}

std::wstring FolderOf(const std::wstring& path) {
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

// Whether the folder's volume keeps access lists at all: on one that does not, every user may
// change everything the cases plant.
bool KeepsAccessLists(const std::wstring& folder) {
    const UniqueFile entry(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    DWORD flags = 0;
    return entry && GetVolumeInformationByHandleW(entry.get(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_PERSISTENT_ACLS) != 0;
}

// Nothing was checked: the reason, then the closing line that says what to do.
int Refuse(const std::wstring& why) {
    Print(L"ppkg-verify: " + why);
    if (!closingLineIsTheStarters) Print(RefusedClosingLine());
    finalCounts = RunCounts{};
    return kExitRefused;
}

// Where the shipped build refuses, the bench's build says so and goes on.
bool RefuseUnlessBench(const std::wstring& why) {
    if (!kBenchBuild) return true;
    Print(L"ppkg-verify: BENCH BUILD: " + why + L"; going on only because this is the bench's build");
    return false;
}

std::vector<std::wstring> SplitNames(const std::wstring& list) {
    std::vector<std::wstring> names;
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(L',', start), list.size());
        if (comma > start) names.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

// False, with the reason, on anything this build does not take.
bool ReadOptions(int argc, wchar_t** argv, Options& options, std::wstring& why) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring_view arg(argv[i]);
        const bool hasValue = i + 1 < argc;
        if (arg == L"/keep") {
            options.keep = true;
        } else if (arg == L"/system") {
            options.system = true;
        } else if (arg == L"/system-child") {
            options.systemChild = true;
        } else if (kBenchBuild && arg == L"/launcher" && hasValue) {
            options.launcher = argv[++i];
        } else if (kBenchBuild && arg == L"/timeout" && hasValue) {
            options.timeoutSeconds = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (kBenchBuild && arg == L"/only" && hasValue) {
            options.only = SplitNames(argv[++i]);
        } else if (kBenchBuild && arg == L"/shared-temp") {
            options.sharedTemp = true;
        } else {
            why = kUsage;
            return false;
        }
    }
    if (options.system && options.systemChild) {
        why = kUsage;
        return false;
    }
    return true;
}

// The whole of a plain file read through its own handle, which `held` keeps for judging the file
// afterwards; empty with the reason on failure.
std::string ReadImage(const std::wstring& path, UniqueFile& held, std::wstring& why) {
    held.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!held || GetFileType(held.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(held.get(), FileAttributeTagInfo, &info, sizeof info) ||
        (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        why = L"no plain file " + path;
        return {};
    }
    std::optional<std::string> bytes = ReadThrough(held.get(), kMaxImage);
    if (!bytes || bytes->empty()) {
        why = L"cannot read " + path;
        return {};
    }
    return std::move(*bytes);
}

// The advice after a refusal for who may change the folder or a file: the commands that mend it,
// where the administrator's own account is the one to blame, else how to make a folder to trust.
std::wstring WhatToDo(const std::wstring& mend) {
    if (!mend.empty()) {
        return L". This account owns it or may change it, as an elevated mkdir can leave it on Windows 10 and 11: "
               L"from an elevated prompt run " + mend + L", then run this program again";
    }
    return L". Run it from a folder that only the system, Administrators and TrustedInstaller may change, such as "
           L"one made with: mkdir \"%ProgramFiles%\\ppkg-verify\"";
}

// A new file owned by Administrators with a list only they and the system may change, whichever
// owner this account's token would give it: the run as the system account judges its own copy,
// and the launcher's, as it judges the files it was started beside.
bool WriteCopy(const std::wstring& path, const std::string& bytes) {
    // Without "O:BA" where the token may not name Administrators owner (judged where it matters).
    constexpr wchar_t kCopySddl[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";
    constexpr std::size_t kOwnerPartLength = 4;
    UniqueFile file;
    for (const wchar_t* sddl : {kCopySddl, kCopySddl + kOwnerPartLength}) {
        UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.out(), nullptr)) {
            return false;
        }
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
        file.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file || GetLastError() != ERROR_INVALID_OWNER) break;
    }
    DWORD put = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
           put == bytes.size();
}

void RemoveScratch(Scratch& scratch, Tally& tally) {
    // A virus scanner, or a process still ending, may hold a file it just saw for a moment.
    std::wstring stayed = scratch.Remove();
    for (int attempt = 0; attempt < 10 && !stayed.empty(); ++attempt) {
        Sleep(500);
        stayed = scratch.Remove();
    }
    if (!stayed.empty()) {
        tally.AddFailure();
        Print(L"cleanup: FAIL: could not remove " + stayed);
    }
}

// What /keep leaves must not stay a user's: every link and junction the cases planted goes to
// Administrators, with a list only they and the system may change.
void SecureKept(const Scratch& scratch, Tally& tally) {
    for (const Entry& e : TakeSnapshot(scratch.path())) {
        if ((e.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) continue;
        const std::wstring why = HandToAdministrators(Join(scratch.path(), e.name));
        if (!why.empty()) {
            tally.AddFailure();
            Print(L"keep: FAIL: " + e.name + L" could not be handed to Administrators: " + why);
        }
    }
}

void EndRun(const Options& options, Scratch& scratch, Tally& tally) {
    if (options.keep) {
        SecureKept(scratch, tally);
    } else {
        RemoveScratch(scratch, tally);
    }
}

bool Selected(const Options& options, const Case& c) {
    if (options.only.empty()) return true;
    for (const std::wstring& name : options.only) {
        if (name == c.name) return true;
    }
    return false;
}

// Stands for the scratch folder's own list in the count: where it did not read back as set, the
// run cannot promise that nobody else changed what the cases planted.
const Case kScratchList{L"scratch-protected", nullptr, nullptr, nullptr};

std::wstring UnprotectedScratch(const std::wstring& list, const std::wstring& problem) {
    return L"the scratch folder was made with " + std::wstring(kScratchSddl) + L" and reads back as " + list + L": " +
           problem + L", so others could change what the cases plant";
}

int RunCases(const Options& options, Context& context, Scratch& scratch, const std::string& launcherImage,
             const std::wstring& unprotected) {
    Tally tally;
    if (!unprotected.empty()) Print(CaseLine(kScratchList.name, tally.Settle(kScratchList, {Verdict::CannotPrepare, unprotected})));
    QueryEvidence evidence;
    GuardSeen guard;
    context.launcher = Join(scratch.path(), kLauncherName);
    context.folder = scratch.path();
    context.scratch = scratch.path();
    context.evidence = &evidence;
    context.guard = &guard;
    if (!WriteCopy(context.launcher, launcherImage)) {
        Print(L"ppkg-verify: cannot write the launcher's copy " + context.launcher);
        tally.AddFailure();
    } else {
        const std::wstring temp = LauncherTempFolder();
        Print(L"ppkg-verify: runs the copy " + context.launcher + L", temp reports in " + temp +
              (temp.rfind(scratch.TempFolder(), 0) == 0 ? L" (its own)" : L" (shared: what others leave there is left alone)"));
        for (const Case& c : AllCases()) {
            if (!Selected(options, c)) continue;
            const std::wstring caseFolder = Join(context.scratch, c.name);
            Outcome outcome{Verdict::Fail, L"cannot create " + caseFolder};
            if (CreateDirectoryW(caseFolder.c_str(), nullptr)) outcome = c.check(context, c, caseFolder);
            Print(CaseLine(c.name, tally.Settle(c, std::move(outcome))));
        }
    }
    EndRun(options, scratch, tally);
    if (!closingLineIsTheStarters) Print(tally.ClosingLine());
    finalCounts = tally.Counts();
    return tally.ExitCode();
}

// Copies of this program and the launcher go into the scratch folder, out of reach of anyone
// who may change the folder they came from, and the task runs those.
int RunSystemTask(const Options& options, Scratch& scratch, const std::string& ownImage,
                  const std::string& launcherImage, const std::wstring& unprotected) {
    Tally tally;
    const Case systemRun{L"system-run", nullptr, nullptr, nullptr};
    SystemRunFiles files{Join(scratch.path(), kProgramName),
                         std::wstring(L"/system-child") + (options.keep ? L" /keep" : L""), scratch.path(),
                         Join(scratch.path(), kSystemOutput), Join(scratch.path(), kSystemExit)};
    bool refused = false;   // the run ran to its end and refused to start
    if (!unprotected.empty() && !kBenchBuild) {
        // The system account would run whatever stands there by then.
        Print(CaseLine(systemRun.name, tally.Settle(systemRun, {Verdict::CannotPrepare, unprotected})));
    } else if (!WriteCopy(files.program, ownImage) || !WriteCopy(Join(scratch.path(), kLauncherName), launcherImage)) {
        Print(CaseLine(systemRun.name, tally.Settle(systemRun, {Verdict::Fail, L"cannot copy the programs into " +
                                                                                  scratch.path()})));
    } else {
        const SystemRunResult run = RunAsSystem(files);
        if (run.verdict == Verdict::Pass) {
            // Its own lines are already printed; its counts join this run's in one closing line.
            tally.Absorb(run.counts);
            refused = run.exitCode == kExitRefused;
        } else {
            Print(CaseLine(systemRun.name, tally.Settle(systemRun, {run.verdict, run.detail})));
        }
    }
    EndRun(options, scratch, tally);
    if (refused && tally.ExitCode() == kExitAllPassed) {
        Print(RefusedClosingLine());
        return kExitRefused;
    }
    Print(tally.ClosingLine());
    return tally.ExitCode();
}

// Everything after the options: the checks before any case, then the run.
int Run(const Options& options, const std::wstring& self, const std::wstring& folder) {
    Print(L"ppkg-verify: runs as " + CurrentAccount());
    if (kBenchBuild) Print(L"ppkg-verify: BENCH BUILD, not for checking a machine: it takes a stand-in launcher");

    // Held from now on: the run as the system account gets these bytes, not what stands there later.
    OwnImage own;
    std::wstring why = own.Hold(self);
    if (!why.empty()) return Refuse(L"refused: " + why);

    Context context{{}, SystemFolder(), {}, {}, nullptr};
    if (folder.empty() || context.systemFolder.empty()) return Refuse(L"cannot read its own or the system folder");
    // A link or junction on the way would let whoever made it decide where the cases plant.
    const std::wstring reparse = ReparsePointOnTheWay(folder);
    if (!reparse.empty()) return Refuse(L"refused: " + reparse + L" is a link, junction or mount point (or unreadable); run it from a plain folder");
    if (!IsAdministrator()) return Refuse(L"run it from an elevated prompt (as administrator)");
    if (!KeepsAccessLists(folder)) return Refuse(L"refused: the volume of " + folder + L" keeps no access lists; use a local NTFS drive");

    // The launcher is judged by its bytes, read once: those bytes are what the cases run.
    const std::wstring launcher = options.launcher.empty() ? Join(folder, kLauncherName) : options.launcher;
    UniqueFile launcherFile;
    const std::string launcherImage = ReadImage(launcher, launcherFile, why);
    if (launcherImage.empty()) return Refuse(why);
    const std::wstring hash = Sha256Hex(launcherImage);
    Print(L"ppkg-verify: launcher " + launcher + L" SHA-256 " + (hash.empty() ? L"(cannot be computed)" : hash));
    Print(L"ppkg-verify: built beside the launcher with SHA-256 " + std::wstring(kBuiltBesideSha256));
    if (hash != kBuiltBesideSha256 && RefuseUnlessBench(L"the hashes differ; it runs the stand-in")) {
        return Refuse(L"refused: this is not the launcher this program was built beside; use the two from one release");
    }

    // Whoever may change this folder, or one above it, could swap this program or what it runs
    // as the system account between two steps.
    const std::wstring account = AccountSid();
    std::wstring mend;
    why = WhyNotTrusted(folder, account, mend);
    if (!why.empty() && RefuseUnlessBench(L"its folder may be changed by others: " + why)) {
        return Refuse(L"refused: " + why + WhatToDo(mend));
    }
    // Its own file and the launcher's, through the handles it read them with: a second name or a
    // list that lets others write them would let others change what runs here elevated.
    const std::array<std::pair<HANDLE, const std::wstring*>, 2> files = {{{own.Handle(), &self}, {launcherFile.get(), &launcher}}};
    for (const auto& [handle, path] : files) {
        mend.clear();
        why = WhyFileNotTrusted(handle, *path, folder, account, mend);
        if (!why.empty() && RefuseUnlessBench(L"a file of it may be changed by others: " + why)) {
            return Refuse(L"refused: " + why + WhatToDo(mend));
        }
    }
    launcherFile.reset();
    if (options.timeoutSeconds != 0) SetRunTimeout(options.timeoutSeconds * 1000);

    std::string ownImage;
    if (options.system) {
        std::optional<std::string> bytes = own.Read();
        if (!bytes) return Refuse(L"cannot read this program's own file through the handle it holds");
        ownImage = std::move(*bytes);
    }

    Scratch scratch;
    why = scratch.Create(Join(folder, L"ppkg-verify-scratch-" + std::to_wstring(GetCurrentProcessId())));
    if (!why.empty()) return Refuse(why);
    // Where the launcher still honours it, its temp reports go into the scratch folder too, where
    // only this program's own runs can have put anything.
    if (!options.sharedTemp) UseOwnTempFolder(scratch.TempFolder());
    std::wstring problem;
    const std::wstring list = scratch.ListReadBack(problem);
    Print(L"ppkg-verify: scratch folder " + scratch.path() + L", owner and list " + list);
    const std::wstring unprotected = problem.empty() ? std::wstring() : UnprotectedScratch(list, problem);

    return options.system ? RunSystemTask(options, scratch, ownImage, launcherImage, unprotected)
                          : RunCases(options, context, scratch, launcherImage, unprotected);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // As the launcher does: no library from this program's folder, and RedirectionGuard, which
    // where Windows has it follows no junction a non-administrator made.
    platform::win32::RestrictLibrarySearchToSystemFolder();
    platform::win32::RefuseUntrustedJunctions();
    Options options;
    std::wstring why;
    const std::wstring self = ModulePath();
    const std::wstring folder = FolderOf(self);
    // The run the task started reports through a file beside it, read by the run that started it.
    const bool child = ReadOptions(argc, argv, options, why) && options.systemChild;
    if (child && !PrintToFile(Join(folder, kSystemOutput))) return kExitRefused;
    closingLineIsTheStarters = child;
    const int exitCode = why.empty() ? Run(options, self, folder) : Refuse(why);
    if (child) {
        // Written last, through a new file, so that the run that started this one knows it is whole.
        WriteNewFile(Join(folder, kSystemExit), CountsLine(exitCode, finalCounts));
    }
    return exitCode;
}
