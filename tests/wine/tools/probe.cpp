// probe-*.exe: do-nothing programs built as the launcher is, each binding one more system DLL, so
// that the cost bench can show what loading each library adds to a start.

#include <windows.h>
#include <shellapi.h>

namespace {

void (*volatile const boundImports[])() = {
    nullptr,
#ifdef PROBE_COMMAND_LINE
    reinterpret_cast<void (*)()>(&CommandLineToArgvW),
#endif
#ifdef PROBE_REGISTRY
    reinterpret_cast<void (*)()>(&RegCloseKey),
#endif
};

}  // namespace

// Reading the table keeps it, and with it the imports, in the image.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return boundImports[0] == nullptr ? 0 : 1; }
