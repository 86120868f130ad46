#pragma once

// Bytes shown to the person running the checks.

#include <cstddef>
#include <string>

namespace verify {

// Printable ASCII as it is, every other byte as \xNN.
std::wstring Printable(const std::string& bytes);
// The first `most` bytes in hex, "ff fe 00 ...".
std::wstring HexBytes(const std::string& bytes, std::size_t most);

// "what (error 5)", and "what failed (error 5)": a Win32 error as the case lines show it.
std::wstring WithError(const std::wstring& what, unsigned long error);
std::wstring ErrorText(const std::wstring& what, unsigned long error);

}  // namespace verify
