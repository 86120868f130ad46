#include <windows.h>

#include <new>
#include <string>

#include "launcher/Entry.h"
#include "launcher/ExitCodes.h"
#include "platform/Tracing.h"
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
    const platform::win32::RedirectionGuard guard = platform::win32::RefuseUntrustedJunctions();
    platform::win32::Win32Platform os;
    // Expected to fail on older releases: information either way, with the system's error.
    platform::Emit(os, "RedirectionGuard", platform::TraceLevel::Information, platform::kTraceReportPath,
                   {platform::TraceText("Policy", guard.applied ? "applied: junctions non-administrators made are not "
                                                                  "followed by this process"
                                                                : "not applied: the system refused it"),
                    platform::TraceNumber("Error", guard.error)});
    const std::u16string text(platform::win32::Utf16(commandLine));
    return static_cast<int>(launcher::RunEntry(os, text));
}
