#pragma once

// Starting the launcher and PowerShell by full path and waiting for them.

#include <windows.h>

#include <string>

namespace verify {

// Quotes one argument so that the C runtime's splitting gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);

struct RunResult {
    std::wstring problem;  // empty when the program ran to its end
    DWORD exitCode = 0;
};

// Never found by search: the program is the full path given. Console output of the child
// goes nowhere, so that only the case lines reach the person reading them.
RunResult RunAndWait(const std::wstring& program, std::wstring commandLine, const std::wstring& directory);

}  // namespace verify
