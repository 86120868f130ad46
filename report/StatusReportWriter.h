#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"

// Writes the status report to a caller-given path: the path is walked through handles from its
// root on a local disk, no link followed, missing directories are made on the way, and the text
// goes into a new file that is then renamed over the report's name inside the last directory the
// walk holds (ReportReplace.h): an existing report is replaced, never written into. Nothing is
// reported back.
namespace report {

// Writes the bytes of `text` before its first NUL so that the file holds exactly them. The walk
// works on its own copy of the path; the caller's stays as given, for the trace.
void WriteStatusReport(platform::Platform& os, const std::u16string& path, std::string_view text);

}  // namespace report
