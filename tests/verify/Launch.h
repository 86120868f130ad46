#pragma once

// Starting the launcher and PowerShell by full path and waiting for them, each run in a job of
// its own.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include "Cases.h"

namespace verify {

// Quotes one argument so that the C runtime's splitting gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);

struct RunResult {
    // Empty when the program ran to its end, left no temp report behind and no other run of the
    // launcher was seen; else what stands against the case, and what it makes of it.
    std::wstring problem;
    Verdict verdict = Verdict::Fail;   // Fail, or CannotPrepare for what this machine did
    DWORD exitCode = 0;
    double milliseconds = 0;  // from just before the start to the end of the wait
};

// How one run is started and watched, where a case needs more than the default.
struct RunOptions {
    // A restricted version of this program's own token to run the program with
    // (CreateProcessAsUserW); null: this program's own.
    HANDLE token = nullptr;
    // An inheritable handle that receives the program's standard output and error; it is the
    // only handle the program inherits (PROC_THREAD_ATTRIBUTE_HANDLE_LIST). Null: they go nowhere.
    HANDLE output = nullptr;
    // Called every few milliseconds while the program runs, with its process handle and id.
    std::function<void(HANDLE process, DWORD processId)> watch;
};

// Never found by search: the program is the full path given. Console output of the child
// goes nowhere unless `options` says where, so that only the case lines reach the person reading
// them. The program and all it starts run in a job: one that does not end in time is ended with
// everything it started. The launcher's temp reports that appeared meanwhile are removed only
// from this program's own temp folder; in a shared one they are left alone and the case is not
// prepared, as it is when another run of the launcher is seen, or application control or a
// virus scanner blocks the start.
RunResult RunAndWait(const std::wstring& program, std::wstring commandLine, const std::wstring& directory,
                     const RunOptions& options = {});

// How long one run may take; only the bench's build of this program shortens it.
void SetRunTimeout(DWORD milliseconds);

// ppkg-launcher.exe /getstatus PATH: the case's outcome when the run already settles it (a
// failure, or not prepared, a path too long for the launcher included), else nothing and the
// exit code, 0 or 1.
std::optional<Outcome> RunStatus(const Context& context, const std::wstring& reportPath, DWORD& exitCode,
                                 double* milliseconds = nullptr, const RunOptions& options = {});

// Points the temp folder of every program this one starts at `folder` (TMP and TEMP), which
// GetTempPathW honours; the system account's GetTempPath2W does not, and keeps its own.
void UseOwnTempFolder(const std::wstring& folder);

// Where the launcher, started by this program, puts its temp reports: GetTempPath2W's folder
// where the system has it (C:\Windows\SystemTemp for the system account), else GetTempPathW's.
std::wstring LauncherTempFolder();

}  // namespace verify
