#include <windows.h>

#include "platform/win32/UniqueResource.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {
namespace {

static_assert(sizeof(SECURITY_ATTRIBUTES) == kSecurityAttributesLength, "the record's length field is 24 on x64");

SECURITY_ATTRIBUTES ToWin32(const SecurityAttributes& security) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = security.descriptor;
    attributes.bInheritHandle = security.inheritHandle ? TRUE : FALSE;
    return attributes;
}

// A FileHandle is the HANDLE's value: these two casts are the only way between them.
HANDLE ToHandle(FileHandle file) {
    return reinterpret_cast<HANDLE>(file);   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast,performance-no-int-to-ptr)
}
FileHandle ToFileHandle(HANDLE file) {
    return reinterpret_cast<FileHandle>(file);   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

}  // namespace

AttributeQuery Win32Platform::QueryAttributes(const std::u16string& path) {
    AttributeQuery query;
    query.attributes = GetFileAttributesW(Wide(path));
    query.error = query.attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
    return query;
}

std::optional<FindRecord> Win32Platform::FindEntry(const std::u16string& path) {
    WIN32_FIND_DATAW data{};
    const UniqueFind search(FindFirstFileW(Wide(path), &data));
    if (!search) return std::nullopt;
    return FindRecord{data.dwFileAttributes, data.dwReserved0};
}

bool Win32Platform::CreateNewFile(const std::u16string& path, const SecurityAttributes& security) {
    SECURITY_ATTRIBUTES attributes = ToWin32(security);
    // A link already at the path, even one whose target is missing, counts as something
    // there: the create must fail rather than make the link's target.
    const UniqueFile file(CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return static_cast<bool>(file);
}

bool Win32Platform::MakeDirectory(const std::u16string& path, const SecurityAttributes& security) {
    SECURITY_ATTRIBUTES attributes = ToWin32(security);
    return CreateDirectoryW(Wide(path), &attributes) != 0;
}

bool Win32Platform::RemoveEmptyDirectory(const std::u16string& path) { return RemoveDirectoryW(Wide(path)) != 0; }

FileHandle Win32Platform::OpenExisting(const std::u16string& path, std::uint32_t access,
                                       const SecurityAttributes& security) {
    SECURITY_ATTRIBUTES attributes = ToWin32(security);
    HANDLE file = CreateFileW(Wide(path), access, 0, &attributes, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return file == INVALID_HANDLE_VALUE ? kNoFile : ToFileHandle(file);
}

// The two classes that hold the attributes and the link count: GetFileInformationByHandle
// gives the same two but also asks the volume for its serial number, which costs far more.
std::optional<HandleInfo> Win32Platform::QueryHandle(FileHandle file) {
    FILE_ATTRIBUTE_TAG_INFO attributes{};
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(ToHandle(file), FileAttributeTagInfo, &attributes, sizeof attributes) ||
        !GetFileInformationByHandleEx(ToHandle(file), FileStandardInfo, &standard, sizeof standard)) {
        return std::nullopt;
    }
    return HandleInfo{attributes.FileAttributes, standard.NumberOfLinks};
}

bool Win32Platform::WriteBytes(FileHandle file, const void* data, std::uint32_t size) {
    DWORD written = 0;
    return ::WriteFile(ToHandle(file), data, size, &written, nullptr) && written == size;
}

bool Win32Platform::RewindFile(FileHandle file) {
    const LARGE_INTEGER start{};
    return ::SetFilePointerEx(ToHandle(file), start, nullptr, FILE_BEGIN) != 0;
}

bool Win32Platform::EndFileHere(FileHandle file) { return ::SetEndOfFile(ToHandle(file)) != 0; }

void Win32Platform::CloseFile(FileHandle file) { CloseHandle(ToHandle(file)); }

}  // namespace platform::win32
