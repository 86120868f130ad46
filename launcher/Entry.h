#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace launcher {

// Splits the command line (without the program's name), runs the chosen action and
// returns the process exit code.
std::uint32_t RunEntry(platform::Platform& os, const std::u16string& commandLine);

}  // namespace launcher
