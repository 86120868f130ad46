#pragma once

#include <cstdint>

namespace launcher {

// The install action's results; their bytes, most significant first, spell PASS and FAIL.
inline constexpr std::uint32_t ExitPass = 0x50415353u;
inline constexpr std::uint32_t ExitFail = 0x4641494Cu;
// /uninstall and /getstatus answer 0 for success and 1 for failure.
inline constexpr std::uint32_t ExitSuccess = 0;
inline constexpr std::uint32_t ExitFailure = 1;

}  // namespace launcher
