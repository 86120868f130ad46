#include <windows.h>

#include <string>

#include "launcher/Entry.h"
#include "platform/win32/Win32Platform.h"

// The start-up hands over the command line without the program's name; the action's
// result becomes the process exit code unchanged.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    platform::win32::RestrictLibrarySearchToSystemFolder();
    platform::win32::Win32Platform os;
    const std::u16string text(reinterpret_cast<const char16_t*>(commandLine));
    return static_cast<int>(launcher::RunEntry(os, text));
}
