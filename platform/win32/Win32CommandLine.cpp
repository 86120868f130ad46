#include <windows.h>

// Declared here, linked from shcore.dll (see CMakeLists.txt).
#include <shellapi.h>

#include <algorithm>
#include <span>

#include "platform/win32/UniqueResource.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

std::optional<std::vector<std::u16string>> Win32Platform::SplitCommandLine(const std::u16string& commandLine) {
    int count = 0;
    UniqueLocal array(CommandLineToArgvW(Wide(commandLine), &count));
    if (!array) {
        Fail(GetLastError());
        return std::nullopt;
    }
    const std::span<wchar_t* const> arguments(static_cast<wchar_t* const*>(array.get()),
                                              static_cast<std::size_t>(std::max(count, 0)));
    std::vector<std::u16string> result(arguments.size());
    std::transform(arguments.begin(), arguments.end(), result.begin(),
                   [](const wchar_t* argument) { return std::u16string(Utf16(argument)); });
    return result;   // the array is released here, before any action runs
}

}  // namespace platform::win32
