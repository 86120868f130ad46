#include <windows.h>

#include <array>

#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

std::optional<std::string> Win32Platform::SystemFolder() {
    std::array<wchar_t, MAX_PATH + 1> wide{};
    // The length without the terminator, or the size needed when the buffer is too small.
    const UINT length = GetSystemDirectoryW(wide.data(), static_cast<UINT>(wide.size()));
    if (length == 0) {
        Fail(GetLastError());
        return std::nullopt;
    }
    if (length > MAX_PATH) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return std::nullopt;
    }

    // CreateProcessA turns the name back into UTF-16 through the same code page; a character
    // it cannot hold would come back as another one and name another program.
    const bool utf8 = GetACP() == CP_UTF8;
    std::array<char, std::size_t{3} * (MAX_PATH + 1)> narrow{};
    BOOL usedDefault = FALSE;
    const int bytes = WideCharToMultiByte(CP_ACP, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, wide.data(),
                                          static_cast<int>(length), narrow.data(), static_cast<int>(narrow.size()),
                                          nullptr, utf8 ? nullptr : &usedDefault);
    if (bytes <= 0 || usedDefault) {
        Fail(bytes <= 0 ? GetLastError() : ERROR_NO_UNICODE_TRANSLATION);
        return std::nullopt;
    }
    return std::string(narrow.data(), static_cast<std::size_t>(bytes));
}

}  // namespace platform::win32
