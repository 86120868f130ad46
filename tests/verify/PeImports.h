#pragma once

// The DLLs a 64-bit or 32-bit PE image names in its import and delay-import tables, read from
// its bytes with every offset checked; and which of them Windows might look for outside the
// system folder.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace verify {

// In table order, imports first, then the delay-import directory's, then the delay descriptors
// found in the image where mingw-w64 leaves them (the directory empty); each name once.
// nullopt when the bytes are no well-formed image.
std::optional<std::vector<std::string>> ImportedDllNames(std::span<const std::uint8_t> image);

// The imports that are not KnownDLLs (`known` lower-case, as the registry lists them), and so
// could be taken from the importing program's own folder. ntdll.dll is never among them: it is
// in every process before any import is resolved, and a module already loaded is the one used.
std::vector<std::string> OutsideKnownDlls(const std::vector<std::string>& imports, const std::vector<std::wstring>& known);

}  // namespace verify
