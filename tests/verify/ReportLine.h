#pragma once

// Whether a written report holds the line that goes with the launcher's exit code. Plain data,
// tested on Linux too.

#include <string>

namespace verify {

// Empty when `bytes` is what /getstatus writes with `exitCode`: "Not installed\n" with 1, one
// "Version=...\n" line with 0; else what is wrong. An empty report with 0 is wrong here too: a
// launcher that writes nothing at all answers that way; the real one writes it only for a version
// that does not fit one 8-bit line.
std::wstring ReportLineProblem(const std::string& bytes, unsigned long exitCode);

}  // namespace verify
