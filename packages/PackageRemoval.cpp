#include "packages/PackageRemoval.h"

#include "packages/Commands.h"
#include "packages/PackageIds.h"
#include "packages/PresenceQuery.h"
#include "packages/SystemTools.h"
#include "packages/VersionRecord.h"

namespace packages {

// Removal is judged only by asking the store again; the command's own exit code is never
// read. A query that could not be carried out proves nothing gone, so it counts as present.
int RemoveAllPackages(platform::Platform& os, InstalledVersion& version) {
    bool allGone = true;
    for (const char* id : PackageIds) {
        RunSystemTool(os, SystemTool::PowerShell, FormatRemovalCommand(id));
        if (QueryPackagePresence(os, id, version) != Presence::NotReported) allGone = false;
    }
    if (!allGone) return 0;
    DeleteVersionRecord(os);
    return 1;
}

}  // namespace packages
