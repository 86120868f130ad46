#pragma once

#include <cstdint>

namespace report {

// The one table of codes for the report path checks and the directory chain creation.
// 0 is the only success; the report writer tells only zero from non-zero, and nothing
// outside report/ ever sees these values.
enum PathCheckResult : std::int32_t {
    PathOk = 0,
    DirectoryCreateFailed = 11,   // creating a missing level of the chain failed
    FileCreateFailed = 13,        // nothing at the path, and creating the new file failed
    PathRejected = 15,            // empty, a plain directory, no separator, or no directory part
    ReparsePointFound = 18,       // the entry at the path, or a level of the chain, is a link
    ParentIsMountPoint = 19,      // the directory part is a mount point, or a reparse point the search cannot find
    EntrySymlink = 20,            // reparse tag IO_REPARSE_TAG_SYMLINK
    EntryPlain = 21,              // no reparse point, or one with any other tag
    EntryNotFound = 22,           // the directory search failed
    EntryMountPoint = 23,         // reparse tag IO_REPARSE_TAG_MOUNT_POINT
};

}  // namespace report
