#include <windows.h>

#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

void RestrictLibrarySearchToSystemFolder() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) return;
    const FARPROC proc = GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (proc == nullptr) return;
    // GetProcAddress returns every export under one type; the cast names the real one.
    const auto setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
            reinterpret_cast<void (*)()>(proc));              // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace platform::win32
