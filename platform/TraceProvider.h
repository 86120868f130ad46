#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The event-tracing provider the launcher registers at start. Its GUID is derived from its name
// by the convention Windows' self-describing providers use, so that tools which know only the
// name find the same provider: SHA-1 over the namespace bytes 48 2C 2D B2 C3 90 47 C8 87 F8 1A
// 15 BF C1 30 FB followed by the name in upper case as UTF-16 big-endian; the first 16 bytes of
// the hash, with the high nibble of byte 7 set to 5, read as a GUID in its little-endian byte
// order. (Microsoft: "ETW Provider Names and GUIDs", and the provider ID remarks of
// TRACELOGGING_DEFINE_PROVIDER; a unit test recomputes it.)
namespace platform {

inline constexpr std::string_view kTraceProviderName = "Norv-PpkgLauncher";

inline constexpr std::size_t kGuidTailBytes = 8;

struct ProviderGuid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::array<std::uint8_t, kGuidTailBytes> data4;
};

// {d0208507-037d-55cf-db2e-1c0507d1ccf9}
inline constexpr ProviderGuid kTraceProviderGuid = {
    0xd0208507u, 0x037du, 0x55cfu, {0xdbu, 0x2eu, 0x1cu, 0x05u, 0x07u, 0xd1u, 0xccu, 0xf9u}};

}  // namespace platform
