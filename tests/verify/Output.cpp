#include "Output.h"

#include <windows.h>

#include "Handles.h"

namespace verify {
namespace {

UniqueFile& OutputFile() {
    static UniqueFile file;
    return file;
}

std::string Utf8(const std::wstring& line) {
    const int need = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string bytes(static_cast<std::size_t>(need > 0 ? need : 0), '\0');
    if (need > 0) {
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(), need, nullptr,
                            nullptr);
    }
    return bytes + "\r\n";
}

}  // namespace

void Print(const std::wstring& line) {
    DWORD put = 0;
    if (OutputFile()) {
        const std::string bytes = Utf8(line);
        WriteFile(OutputFile().get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
        return;
    }
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        const std::wstring text = line + L"\r\n";
        WriteConsoleW(out, text.c_str(), static_cast<DWORD>(text.size()), &put, nullptr);
        return;
    }
    // Redirected: UTF-8, so a path with any character survives.
    const std::string bytes = Utf8(line);
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
}

bool PrintToFile(const std::wstring& path) {
    OutputFile().reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    return static_cast<bool>(OutputFile());
}

}  // namespace verify
