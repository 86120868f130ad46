#include "platform/win32/UniqueResource.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

bool Win32Platform::WriteRegistryString(const std::u16string& keyPath, const std::u16string& valueName,
                                        const std::u16string& text) {
    HKEY raw = nullptr;
    DWORD disposition = 0;
    // The registry calls answer their error instead of setting the thread's.
    const LSTATUS created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(keyPath), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                            KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &raw, &disposition);
    if (created != ERROR_SUCCESS) return Fail(static_cast<std::uint32_t>(created));
    const UniqueKey key(raw);
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(char16_t));   // terminator included
    // The value is handed over as the bytes of the text.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    const LSTATUS set = RegSetValueExW(key.get(), Wide(valueName), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
    if (set != ERROR_SUCCESS) return Fail(static_cast<std::uint32_t>(set));
    return true;
}

bool Win32Platform::DeleteRegistryTree(const std::u16string& keyPath) {
    const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, Wide(keyPath));
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return true;
    return Fail(static_cast<std::uint32_t>(status));
}

}  // namespace platform::win32
