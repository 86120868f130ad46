#pragma once

#include <windows.h>

// Functions looked up at run time instead of imported: those older systems lack, and those only
// ntdll exports. GetProcAddress returns every export under one type; the cast names the real one.
namespace platform::win32 {

// `name` from a module this process holds; nullptr when the module or the function is missing.
template <typename Function>
Function ExportOf(HMODULE module, const char* name) {
    const FARPROC proc = module == nullptr ? nullptr : GetProcAddress(module, name);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

// `name` from a system DLL already mapped into every process (kernel32, ntdll), never loaded here.
template <typename Function>
Function LoadedExport(const wchar_t* module, const char* name) {
    return ExportOf<Function>(GetModuleHandleW(module), name);
}

}  // namespace platform::win32
