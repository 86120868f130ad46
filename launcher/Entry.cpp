#include "launcher/Entry.h"

#include "launcher/Dispatch.h"
#include "launcher/ExitCodes.h"
#include "launcher/InstallAction.h"
#include "launcher/StatusAction.h"
#include "packages/InstalledVersion.h"
#include "packages/PackageRemoval.h"

namespace launcher {

std::uint32_t RunEntry(platform::Platform& os, const std::u16string& commandLine) {
    const Request request = ChooseAction(os.SplitCommandLine(commandLine));
    packages::InstalledVersion version;

    switch (request.action) {
        case Action::Uninstall:
            return packages::RemoveAllPackages(os, version) == 1 ? ExitSuccess : ExitFailure;
        case Action::Status:
            if (request.operand.empty()) return ExitFailure;
            return ReportStatus(os, version, request.operand) == 1 ? ExitSuccess : ExitFailure;
        case Action::Install:
            break;
    }
    return RunInstall(os, version);
}

}  // namespace launcher
