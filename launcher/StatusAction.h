#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "packages/InstalledVersion.h"
#include "platform/Platform.h"

namespace launcher {

// The status report: 8-bit text, NUL-terminated, never longer than its buffer.
inline constexpr std::size_t kReportTextSize = 1024;
using ReportText = std::array<char, kReportTextSize>;

// "Version=<version>\n", each UTF-16 unit below 256 becoming the byte of that value. A unit
// of 256 or above, or a line that would not fit, leaves the text empty. The version ends at
// its first NUL unit.
void FormatVersionLine(std::u16string_view version, ReportText& text);
void FormatNotInstalled(ReportText& text);
// The bytes before the first NUL, never reading past the buffer.
std::string_view TextOf(const ReportText& text);

// Asks the store in a first pass and, when a package is reported, again in a second; writes
// the report and returns 1 when the second pass reported a version, 0 otherwise.
int ReportStatus(platform::Platform& os, packages::InstalledVersion& version, const std::u16string& path);

}  // namespace launcher
