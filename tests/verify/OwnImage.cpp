#include "OwnImage.h"

#include <windows.h>

#include "Files.h"
#include "Text.h"
#include "platform/win32/SystemExport.h"

namespace verify {
namespace {

constexpr DWORD kLongPath = 32768;
constexpr DWORD kMaxImage = 64 * 1024 * 1024;

// Taken from kernel32, where it lives since Windows 7, rather than imported from psapi.dll.
using GetMappedFileNameWFunction = DWORD(WINAPI*)(HANDLE, LPVOID, LPWSTR, DWORD);

// The file this process's image was mapped from, by the name it has now (\Device\...\x.exe,
// renamed or not), opened for its identity only.
UniqueFile OpenImageFile() {
    const auto mappedFileName =
        platform::win32::LoadedExport<GetMappedFileNameWFunction>(L"kernel32.dll", "K32GetMappedFileNameW");
    if (mappedFileName == nullptr) return {};
    std::wstring name(kLongPath, L'\0');
    const DWORD got = mappedFileName(GetCurrentProcess(), GetModuleHandleW(nullptr), name.data(), kLongPath);
    if (got == 0 || got >= kLongPath) return {};
    name.resize(got);
    // An NT name opens through the GLOBALROOT link; \??\C:\... (as Wine answers) is a Win32 path.
    const std::wstring path = name.rfind(L"\\??\\", 0) == 0 ? L"\\\\?\\" + name.substr(4) : L"\\\\?\\GLOBALROOT" + name;
    return UniqueFile(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION one{}, other{};
    return GetFileInformationByHandle(a, &one) && GetFileInformationByHandle(b, &other) &&
           one.dwVolumeSerialNumber == other.dwVolumeSerialNumber && one.nFileIndexHigh == other.nFileIndexHigh &&
           one.nFileIndexLow == other.nFileIndexLow;
}

}  // namespace

std::wstring OwnImage::Hold(const std::wstring& path) {
    file_.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file_) return ErrorText(L"holding this program's own file " + path, GetLastError());
    // Between the start and the open, the file at the path could have been swapped: the image
    // this process runs must be the file it holds, whatever either is called now.
    const UniqueFile image = OpenImageFile();
    if (!image) return ErrorText(L"opening the file this program was started from", GetLastError());
    if (!SameFile(file_.get(), image.get())) {
        file_.reset();
        return L"the file at " + path + L" is not the one this program was started from";
    }
    return {};
}

std::optional<std::string> OwnImage::Read() const {
    if (!file_) return std::nullopt;
    std::optional<std::string> bytes = ReadThrough(file_.get(), kMaxImage);
    return bytes && !bytes->empty() ? bytes : std::nullopt;
}

}  // namespace verify
