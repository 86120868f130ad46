#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

// The two programs the launcher starts, always by their full path in the system folder: a
// search would also look in the launcher's folder and in the working directory, where anyone
// who can write there could put a program of the same name to run with the launcher's rights.
namespace packages {

enum class SystemTool { PowerShell, Provtool };

// "<system>\WindowsPowerShell\v1.0\powershell.exe" or "<system>\provtool.exe"; nullopt for an
// empty folder or a path that would not fit the path buffer.
std::optional<std::string> SystemToolPath(std::string_view systemFolder, SystemTool tool);

// Starts the tool from the system folder with `commandLine` and waits for it. False, "not
// started", when the system folder cannot be read.
bool RunSystemTool(platform::Platform& os, SystemTool tool, const std::string& commandLine);

}  // namespace packages
