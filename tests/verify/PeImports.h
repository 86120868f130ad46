#pragma once

// The DLLs a 64-bit or 32-bit PE image names in its import and delay-import tables, read from
// its bytes with every offset checked.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace verify {

// In table order, imports first; nullopt when the bytes are no well-formed image.
std::optional<std::vector<std::string>> ImportedDllNames(std::span<const std::uint8_t> image);

}  // namespace verify
