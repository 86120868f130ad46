#pragma once

#include <array>

namespace packages {

// Both identifiers the package has been published under, always visited in this order;
// either one being reported counts as the package being present.
inline constexpr std::array<const char*, 2> PackageIds = {
    "4c7d2a00-91e3-4b58-a6f2-3d05c1e8b94f",
    "4c7d2a11-91e3-4b58-a6f2-3d05c1e8b940",
};

}  // namespace packages
