#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace packages {

// Sizes of the 8-bit text buffers the commands are formatted into, terminator included.
inline constexpr std::size_t kPathBufferSize = 261;
inline constexpr std::size_t kCommandBufferSize = 2047;

// The text the provisioning tool is handed; the program itself is always the one in the
// system folder (SystemTools.h), whatever this text names.
inline constexpr const char* kInstallCommand =
    "C:\\Windows\\System32\\provtool.exe Norv_CML_PPM_Package.ppkg /quiet";

// "<temp>norv4c7d2a00-91e3-4b58-a6f2-3d05c<hex>.pkt"; nullopt when it would not fit.
std::optional<std::string> FormatReportPath(std::string_view tempFolder, int number);

// The presence query; nullopt when it would not fit or the path holds a double quote. A report
// path that PowerShell would split or reinterpret is passed as one single-quoted string.
std::optional<std::string> FormatQueryCommand(std::string_view id, std::string_view reportPath,
                                              const platform::AnsiCodePage& codePage);

std::string FormatRemovalCommand(std::string_view id);

}  // namespace packages
