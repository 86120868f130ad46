#pragma once

#include "packages/InstalledVersion.h"
#include "platform/Platform.h"

namespace packages {

// HKEY_LOCAL_MACHINE\SOFTWARE\NORV\Quorrant\Selvond, value "Version" (REG_SZ), 64-bit view:
// what management tools read to detect the installed version.
inline constexpr const char16_t* kVersionRecordKey = u"SOFTWARE\\NORV\\Quorrant\\Selvond";
inline constexpr const char16_t* kVersionValueName = u"Version";

// Writes nothing for an empty version; a record that cannot be written is not an error.
void WriteVersionRecord(platform::Platform& os, const InstalledVersion& version);
// True when no record is left, whether it was deleted now or there was none.
bool DeleteVersionRecord(platform::Platform& os);

}  // namespace packages
