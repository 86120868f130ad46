#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The report path as text: where its walk starts and the names it takes from there, worked out
// the way Windows itself reads a path (both separators, "." and "..", the current directory,
// the trimmed ends of names) so that the walk reaches exactly the entry the system would.
// Pure functions: nothing here touches the file system.
namespace report {

// What a Windows call is handed: a wide C string, which ends at its first NUL.
std::u16string AsWideCString(std::u16string path);

// A path with neither separator, and no drive before its name, is a bare file name: "./" makes
// it name the current directory. "C:status.txt" names the current directory of drive C.
std::u16string AnchorBareFileName(std::u16string path);

// Where the directory part of a report path ends and its file part begins: at its last
// separator, a backslash or a forward slash alike, or after the drive of "C:status.txt". nullopt
// when there is neither.
std::optional<std::size_t> DirectoryEnd(std::u16string_view path);

// What a path that is not fully qualified is resolved against.
enum class BaseKind {
    None,               // fully qualified: a drive with its root, a share, a device path
    CurrentDirectory,   // relative, or rooted without a drive (its root is the current one's)
    DriveDirectory,     // "X:name": the current directory of drive X
};
struct Base {
    BaseKind kind = BaseKind::None;
    char16_t drive = 0;   // for DriveDirectory
};
Base BaseOf(std::u16string_view path);

// One directory level of the walk.
struct PathLevel {
    std::u16string name;
    // Missing, it may be made: it ends a backslash-separated part of the directory part, the
    // way the report's folders have always been made (never what only a forward slash ends,
    // never a level of the current directory).
    bool creatable = false;
    // In the directory part, not the file's own name.
    bool inDirectoryPart = false;
};

// A place in the file system as the walk names it: a root in its NT form and the names below it.
struct Location {
    std::u16string root;   // "\??\C:\", "\??\UNC\server\share\", "\??\Volume{...}\"
    std::vector<std::u16string> names;
};

struct ReportPlan {
    std::u16string root;
    std::vector<PathLevel> levels;   // outermost first
    std::u16string file;             // the report's own name
};

// The walk for a report path (already anchored); `base` is the directory BaseOf asks for, or
// empty. nullopt for a path that names no file (its file part is empty, "." or "..", or its
// directory part is empty), a colon in any name (a stream is no report), a legacy device name
// anywhere, a drive or share that cannot be told, a verbatim path (\\?\) with a name Windows
// would refuse, or a path longer than MAX_PATH.
std::optional<ReportPlan> PlanReportPath(std::u16string_view path, std::u16string_view base);

// A legacy DOS device (CON, NUL, COM1, ...), which Windows reads as the device wherever the
// name stands, whatever extension follows.
bool IsDeviceName(std::u16string_view name);

// The MS-DOS device name a root in its NT form goes through: "C:" for \??\C:\, "Volume{...}" for
// \??\Volume{...}\. Empty for a share, which goes to its server whatever the name.
std::u16string RootDeviceName(std::u16string_view root);

// A device's own name and nothing after it ("\Device\HarddiskVolume3"): what a drive letter or
// volume name of a local volume stands for. A drive made with subst names a folder ("\??\C:\x"),
// and one mapped to a share a path below its redirector ("\Device\Mup\...",
// "\Device\LanmanRedirector\;Z:...\server\share"): neither is one.
bool NamesADeviceAlone(std::u16string_view link);

}  // namespace report
