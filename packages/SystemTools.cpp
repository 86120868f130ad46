#include "packages/SystemTools.h"

#include "packages/Commands.h"
#include "platform/Tracing.h"

namespace packages {
namespace {

constexpr std::string_view kPowerShellTail = "WindowsPowerShell\\v1.0\\powershell.exe";
constexpr std::string_view kProvtoolTail = "provtool.exe";

// The exit code is recorded as the process left it; nothing the launcher decides reads it.
void TraceChildEnded(platform::Platform& os, std::string_view application, std::string_view commandLine,
                     const platform::ChildProcess& child) {
    std::string_view wait = "ended";
    if (child.end == platform::ChildEnd::ExitCodeUnreadable) wait = "ended; its exit code could not be read";
    if (child.end == platform::ChildEnd::WaitFailed) wait = "the wait failed; it may still run";
    // One level per event name: a wait that failed is an event of its own.
    const bool failed = child.end == platform::ChildEnd::WaitFailed;
    platform::Emit(os, failed ? "ChildProcessWaitFailed" : "ChildProcess",
                   failed ? platform::TraceLevel::Error : platform::TraceLevel::Information, platform::kTraceProcess,
                   {platform::TraceText("Application", application), platform::TraceText("CommandLine", commandLine),
                    platform::TraceNumber("ProcessId", child.processId), platform::TraceText("Wait", wait),
                    platform::TraceNumber("WaitError", child.waitError),
                    platform::TraceHex("ExitCode", child.exitCode)});
}

}  // namespace

std::optional<std::string> SystemToolPath(std::string_view systemFolder, SystemTool tool) {
    if (systemFolder.empty()) return std::nullopt;
    std::string path(systemFolder);
    // A folder at a drive's root comes back with its backslash.
    if (path.back() != '\\') path.push_back('\\');
    path.append(tool == SystemTool::PowerShell ? kPowerShellTail : kProvtoolTail);
    if (path.size() >= kPathBufferSize) return std::nullopt;
    return path;
}

bool RunSystemTool(platform::Platform& os, SystemTool tool, const std::string& commandLine) {
    using platform::TraceText;
    const std::optional<std::string> folder = os.SystemFolder();
    if (!folder) {
        platform::EmitCallFailed(os, platform::kTraceProcess, "SystemFolder", {TraceText("CommandLine", commandLine)});
        return false;
    }
    const std::optional<std::string> application = SystemToolPath(*folder, tool);
    if (!application) {
        platform::Emit(os, "ChildNotStarted", platform::TraceLevel::Error, platform::kTraceProcess,
                       {TraceText("Reason", "the tool's path in the system folder is too long"),
                        TraceText("SystemFolder", *folder), TraceText("CommandLine", commandLine)});
        return false;
    }
    const platform::ChildProcess child = os.RunHiddenCommand(*application, commandLine);
    if (!child.Started()) {
        platform::EmitCallFailed(os, platform::kTraceProcess, "RunHiddenCommand",
                                 {TraceText("Application", *application), TraceText("CommandLine", commandLine)});
        return false;
    }
    TraceChildEnded(os, *application, commandLine, child);
    return true;
}

}  // namespace packages
