#include "packages/PackageRemoval.h"

#include "packages/Commands.h"
#include "packages/PackageIds.h"
#include "packages/PresenceQuery.h"
#include "packages/SystemTools.h"
#include "packages/VersionRecord.h"
#include "platform/Tracing.h"

namespace packages {

// Removal is judged only by asking the store again; the command's own exit code is never
// read. A query that could not be carried out proves nothing gone, so it counts as present.
int RemoveAllPackages(platform::Platform& os, InstalledVersion& version) {
    bool allGone = true;
    for (const char* id : PackageIds) {
        platform::Emit(os, "RemovingPackage", platform::TraceLevel::Information, platform::kTraceProcess,
                       {platform::TraceText("PackageId", id)});
        RunSystemTool(os, SystemTool::PowerShell, FormatRemovalCommand(id));
        if (QueryPackagePresence(os, id, version) != Presence::NotReported) allGone = false;
    }
    if (!allGone) {
        platform::Emit(os, "VersionRecordKept", platform::TraceLevel::Information, platform::kTraceRegistry,
                       {platform::TraceWide("Key", kVersionRecordKey),
                        platform::TraceText("Reason", "a package is still reported, or the store could not be asked")});
        return 0;
    }
    // A record left behind would still tell management tools the package is installed.
    return DeleteVersionRecord(os) ? 1 : 0;
}

}  // namespace packages
