#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

// Writes the status report to a caller-given path: the path is walked through handles from its
// root, missing directories are made on the way, and the text goes only into a plain file with
// a single name, opened as itself inside the last directory the walk holds. Nothing is reported
// back.
namespace report {

// What the opened report must be before a byte goes through it: no reparse point, no
// directory, and no second hard link that could lead the write into another file.
bool IsSafeReportFile(const platform::HandleInfo& info);

// Writes the bytes of `text` before its first NUL so that the file holds exactly them. The walk
// works on its own copy of the path; the caller's stays as given, for the trace.
void WriteStatusReport(platform::Platform& os, const std::u16string& path, std::string_view text);

}  // namespace report
