#include "launcher/InstallAction.h"

#include "launcher/ExitCodes.h"
#include "packages/Commands.h"
#include "packages/PackageRemoval.h"
#include "packages/PresenceQuery.h"
#include "packages/SystemTools.h"
#include "packages/VersionRecord.h"
#include "platform/Tracing.h"

namespace launcher {

std::uint32_t RunInstall(platform::Platform& os, packages::InstalledVersion& version) {
    using platform::TraceText;
    packages::RemoveAllPackages(os, version);

    // A package that survived the removal is kept and recorded; applying the file over it
    // would not be judged any differently.
    if (!packages::AnyPackageReported(os, version)) {
        platform::Emit(os, "ApplyingPackage", platform::TraceLevel::Information, platform::kTraceProcess,
                       {TraceText("CommandLine", packages::kInstallCommand)});
        if (!packages::RunSystemTool(os, packages::SystemTool::Provtool, packages::kInstallCommand)) {
            platform::Emit(os, "InstallFailed", platform::TraceLevel::Error, 0,
                           {TraceText("Reason", "the provisioning tool could not be started")});
            return ExitFail;
        }
        if (!packages::AnyPackageReported(os, version)) {
            platform::Emit(os, "InstallFailed", platform::TraceLevel::Error, 0,
                           {TraceText("Reason", "no package is reported after the provisioning tool ran")});
            return ExitFail;
        }
    } else {
        platform::Emit(os, "PackageKept", platform::TraceLevel::Information, platform::kTraceProcess,
                       {TraceText("Reason", "a package is still reported after the removal: the tool is not run")});
    }

    packages::WriteVersionRecord(os, version);
    return ExitPass;
}

}  // namespace launcher
