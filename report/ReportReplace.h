#pragma once

#include <string>
#include <string_view>

#include "platform/Platform.h"
#include "report/PathWalk.h"

// The report is never written into. A new file is made under a temporary name inside the last
// level the walk holds, with FILE_CREATE so that it can be nobody else's file, and under the
// report's protected list; it is written and flushed through the handle that made it, given the
// earlier report's access list when there is one, and renamed over the report's name through the
// same handle, relative to the held folder (FileRenameInformation with ReplaceIfExists, MS-FSA
// 2.1.5.15.11, MS-FSCC 2.4.42). The rename replaces a name: a file with a second hard link keeps
// its bytes under the other name, a link at the name goes and what it leads to stays; a directory
// or a file that someone has open refuses it, and the earlier report stays as it was.
namespace report {

// The temporary names, tried in turn while one is taken: "~ppkg-launcher-1.tmp" to
// "~ppkg-launcher-16.tmp". One left behind holds a report that was never put in place.
inline constexpr int kTemporaryNames = 16;
std::u16string TemporaryName(int number);

// A look at what stands at the report's name: its attributes and its list, nothing that takes
// part in the share-access check, so that nobody is kept from anything.
inline constexpr platform::OpenRequest kReportLook{
    platform::kAccessReadAttributes | platform::kAccessReadControl | platform::kAccessSynchronize,
    platform::kShareRead | platform::kShareWrite | platform::kShareDelete, true};
// The new report: written, given its list and renamed through this handle, shared with nobody
// until it is in place, and removed through it when it is not put there.
inline constexpr platform::OpenRequest kReportMade{
    platform::kAccessGenericWrite | platform::kAccessReadAttributes | platform::kAccessDelete |
        platform::kAccessWriteDac | platform::kAccessSynchronize,
    0, true};

// Why what stands at the report's name is not replaced (a link or other reparse point, a
// directory), or empty when it is a plain file, whatever its other names.
std::string_view ExistingReportRefusal(const platform::HandleInfo& info);

// Puts `bytes` in place as the report `name` inside the walk's last level. False when it was not:
// then whatever stood at the name is as it was, the temporary file is gone, and the levels the walk
// made are removed again.
bool ReplaceReport(platform::Platform& os, PathWalk& walk, const std::u16string& name, std::string_view bytes,
                   const platform::SecurityAttributes& security);

}  // namespace report
