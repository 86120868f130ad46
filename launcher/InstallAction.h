#pragma once

#include <cstdint>

#include "packages/InstalledVersion.h"
#include "platform/Platform.h"

namespace launcher {

// Removes any earlier copy, applies the package unless one survived, confirms it by asking
// the store again and records its version. ExitPass or ExitFail.
std::uint32_t RunInstall(platform::Platform& os, packages::InstalledVersion& version);

}  // namespace launcher
