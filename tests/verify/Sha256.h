#pragma once

// SHA-256 through the system's own cryptography (bcrypt.dll).

#include <string>

namespace verify {

// Lower-case hex, as sha256sum prints it; empty when the system could not hash.
std::wstring Sha256Hex(const std::string& bytes);

}  // namespace verify
