#pragma once

// SHA-256 through the system's own cryptography in advapi32.dll, one of the KnownDLLs: this
// program may stand in a folder others can write, so it imports nothing that could be put there.

#include <string>

namespace verify {

// Lower-case hex, as sha256sum prints it; empty when the system could not hash.
std::wstring Sha256Hex(const std::string& bytes);

}  // namespace verify
