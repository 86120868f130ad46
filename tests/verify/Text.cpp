#include "Text.h"

#include <windows.h>

namespace verify {

std::wstring Printable(const std::string& bytes) {
    std::wstring out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<wchar_t>(c);
        } else {
            wchar_t hex[8];
            wsprintfW(hex, L"\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::wstring HexBytes(const std::string& bytes, std::size_t most) {
    std::wstring out;
    for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
        wchar_t hex[4];
        wsprintfW(hex, L"%02x", static_cast<unsigned char>(bytes[i]));
        if (!out.empty()) out += L' ';
        out += hex;
    }
    if (bytes.size() > most) out += L" ...";
    return out;
}

std::wstring WithError(const std::wstring& what, unsigned long error) {
    return what + L" (error " + std::to_wstring(error) + L")";
}

std::wstring ErrorText(const std::wstring& what, unsigned long error) { return WithError(what + L" failed", error); }

}  // namespace verify
