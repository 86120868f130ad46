#pragma once

// Starting the launcher and PowerShell by full path and waiting for them, each run in a job of
// its own.

#include <windows.h>

#include <string>

#include "Cases.h"

namespace verify {

// Quotes one argument so that the C runtime's splitting gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);

struct RunResult {
    std::wstring problem;  // empty when the program ran to its end and left no temp report behind
    DWORD exitCode = 0;
    double milliseconds = 0;  // from just before the start to the end of the wait
};

// Never found by search: the program is the full path given. Console output of the child
// goes nowhere, so that only the case lines reach the person reading them. The program and
// all it starts run in a job: one that does not end in time is ended with everything it
// started, and the launcher's temp reports that appeared meanwhile are removed.
RunResult RunAndWait(const std::wstring& program, std::wstring commandLine, const std::wstring& directory);

// How long one run may take; only the bench's build of this program shortens it.
void SetRunTimeout(DWORD milliseconds);

// ppkg-launcher.exe /getstatus PATH: a problem text unless it ran to its end with 0 or 1.
std::wstring RunStatus(const Context& context, const std::wstring& reportPath, DWORD& exitCode,
                       double* milliseconds = nullptr);

// Where the launcher, started by this program, puts its temp reports: GetTempPath2W's folder
// where the system has it (C:\Windows\SystemTemp for the system account), else GetTempPathW's.
std::wstring LauncherTempFolder();

}  // namespace verify
