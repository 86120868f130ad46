#pragma once

#include <cstddef>

#include "packages/InstalledVersion.h"
#include "packages/Presence.h"
#include "platform/Platform.h"

namespace packages {

// A real report is a few hundred bytes; a larger one is not read at all, and the query
// could not be carried out.
inline constexpr std::size_t kMaxReportBytes = std::size_t{1} << 20;

// Asks PowerShell whether the store reports the package `id`. On Present, a "Version"
// label in the report rewrites `version`; otherwise `version` is left as it was.
Presence QueryPackagePresence(platform::Platform& os, const char* id, InstalledVersion& version);

// Install and status read a query that could not be carried out as "not reported".
inline bool IsReported(Presence presence) { return presence == Presence::Present; }

// Queries the identifiers in table order and stops at the first one reported, so that the
// version left behind is that identifier's.
bool AnyPackageReported(platform::Platform& os, InstalledVersion& version);

}  // namespace packages
