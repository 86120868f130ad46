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

// The imports that are not KnownDLLs (`known` lower-case, as the registry lists them, less the
// names in `excluded`, which ExcludeFromKnownDlls takes off it), and so could be taken from the
// importing program's own folder. ntdll.dll is never among them: it is in every process before
// any import is resolved, and a module already loaded is the one used. Nor is an API set: a name
// starting with "api-" or "ext-" is a contract the loader resolves through the API set schema,
// never a file looked for (Microsoft's "Windows API sets" and "API set loader operation").
std::vector<std::string> OutsideKnownDlls(const std::vector<std::string>& imports, const std::vector<std::wstring>& known,
                                          const std::vector<std::wstring>& excluded = {});

// The imports that are API set contracts ("api-..." or "ext-...", any case).
std::vector<std::string> ApiSetNames(const std::vector<std::string>& imports);

}  // namespace verify
