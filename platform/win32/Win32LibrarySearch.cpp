#include <windows.h>

#include "platform/win32/SystemExport.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

void RestrictLibrarySearchToSystemFolder() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefaultDllDirectories =
        LoadedExport<SetDefaultDllDirectoriesFunction>(L"kernel32.dll", "SetDefaultDllDirectories");
    if (setDefaultDllDirectories == nullptr) return;
    setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace platform::win32
