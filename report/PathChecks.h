#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"
#include "report/PathCheckResult.h"

// Vetting of the status report path: refuses a link or mount point at the path and a mount
// point as its directory (or a reparse point there whose kind the search cannot read), and
// creates the missing report file, empty, under the caller's descriptor. Paths are taken by value; each operation works on its own copy.
namespace report {

// What a Windows call is handed: a wide C string, which ends at its first NUL. Every check
// works on this text, so that it judges exactly the path the system will be given.
std::u16string AsWideCString(std::u16string path);

// The split of a report path: its last backslash, or its last forward slash only when it
// holds no backslash at all. nullopt when it holds neither.
std::optional<std::size_t> SplitPosition(std::u16string_view path);
// The text before the split position, possibly empty; nullopt when there is no separator.
std::optional<std::u16string_view> DirectoryPart(std::u16string_view path);

// EntrySymlink, EntryPlain, EntryNotFound or EntryMountPoint from a find record (nullopt: the
// search failed).
PathCheckResult ClassifyFindRecord(const std::optional<platform::FindRecord>& record);
PathCheckResult ClassifyPathEntry(platform::Platform& os, std::u16string path);

// PathOk, FileCreateFailed, PathRejected, ReparsePointFound or ParentIsMountPoint. On PathOk
// a file that is no reparse point stands at the path: found, or just created empty.
PathCheckResult CheckOutputPath(platform::Platform& os, std::u16string path,
                                const platform::SecurityAttributes& security);

}  // namespace report
