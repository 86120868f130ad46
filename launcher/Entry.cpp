#include "launcher/Entry.h"

#include "launcher/Dispatch.h"
#include "launcher/ExitCodes.h"
#include "launcher/InstallAction.h"
#include "launcher/StatusAction.h"
#include "packages/InstalledVersion.h"
#include "packages/PackageRemoval.h"
#include "platform/Tracing.h"

namespace launcher {

namespace {

constexpr std::string_view ActionName(Action action) {
    switch (action) {
        case Action::Install: return "install";
        case Action::Uninstall: return "uninstall";
        case Action::Status: return "getstatus";
    }
    return {};
}

std::uint32_t RunAction(platform::Platform& os, const Request& request) {
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

}  // namespace

std::uint32_t RunEntry(platform::Platform& os, const std::u16string& commandLine) {
    const std::optional<std::vector<std::u16string>> arguments = os.SplitCommandLine(commandLine);
    if (!arguments) platform::EmitCallFailed(os, 0, "SplitCommandLine");
    const Request request = ChooseAction(arguments);
    // The count as the split answered it: an empty command line gives one, the program's path.
    platform::Emit(os, "ActionChosen", platform::TraceLevel::Information, 0,
                   {platform::TraceText("Action", ActionName(request.action)),
                    platform::TraceNumber("Arguments", arguments ? static_cast<std::uint32_t>(arguments->size()) : 0),
                    platform::TraceWide("Operand", request.operand)});
    const std::uint32_t code = RunAction(os, request);
    platform::Emit(os, "Exit", platform::TraceLevel::Information, 0, {platform::TraceHex("ExitCode", code)});
    return code;
}

}  // namespace launcher
