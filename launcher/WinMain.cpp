#include <windows.h>

#include <new>
#include <string>

#include "launcher/Entry.h"
#include "launcher/ExitCodes.h"
#include "platform/win32/UniqueResource.h"
#include "platform/win32/Win32Platform.h"

namespace {

// Memory runs out only while a text is built (a report read from a file fails softly), and
// that ends the process at once, silently, with a code no caller takes for success. Left to
// the runtime, the failure would end in abort(), which can stop on a message box first.
void EndOnMemoryExhaustion() { ExitProcess(launcher::ExitFail); }

}  // namespace

// The start-up hands over the command line without the program's name; the action's
// result becomes the process exit code unchanged.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    std::set_new_handler(EndOnMemoryExhaustion);
    platform::win32::RestrictLibrarySearchToSystemFolder();
    platform::win32::RefuseUntrustedJunctions();
    platform::win32::Win32Platform os;
    const std::u16string text(platform::win32::Utf16(commandLine));
    return static_cast<int>(launcher::RunEntry(os, text));
}
