#include <windows.h>

// Declared here, linked from shcore.dll (see CMakeLists.txt).
#include <shellapi.h>

#include "platform/win32/UniqueResource.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

std::optional<std::vector<std::u16string>> Win32Platform::SplitCommandLine(const std::u16string& commandLine) {
    int count = 0;
    UniqueLocal array(CommandLineToArgvW(Wide(commandLine), &count));
    if (!array) return std::nullopt;
    const auto* arguments = static_cast<wchar_t* const*>(array.get());
    std::vector<std::u16string> result;
    for (int i = 0; i < count; ++i) result.emplace_back(reinterpret_cast<const char16_t*>(arguments[i]));
    return result;   // the array is released here, before any action runs
}

}  // namespace platform::win32
