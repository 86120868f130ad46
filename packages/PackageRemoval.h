#pragma once

#include "packages/InstalledVersion.h"
#include "platform/Platform.h"

namespace packages {

// Removes both packages; 1 when the store reports neither afterwards and the version record
// is then deleted, 0 otherwise.
int RemoveAllPackages(platform::Platform& os, InstalledVersion& version);

}  // namespace packages
