#include "packages/SystemTools.h"

#include "packages/Commands.h"

namespace packages {
namespace {

constexpr std::string_view kPowerShellTail = "WindowsPowerShell\\v1.0\\powershell.exe";
constexpr std::string_view kProvtoolTail = "provtool.exe";

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
    const std::optional<std::string> folder = os.SystemFolder();
    if (!folder) return false;
    const std::optional<std::string> application = SystemToolPath(*folder, tool);
    if (!application) return false;
    return os.RunHiddenCommand(*application, commandLine);
}

}  // namespace packages
