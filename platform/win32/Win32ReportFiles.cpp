#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>
#include <winternl.h>

#include <cstring>

#include "platform/win32/UniqueResource.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {
namespace {

static_assert(sizeof(SECURITY_ATTRIBUTES) == kSecurityAttributesLength, "the record's length field is 24 on x64");

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);

// Win32 opens no entry relative to a directory handle; ntdll's native call does, and ntdll is
// mapped into every process, so it is looked up rather than imported.
NtCreateFileFunction NtCreateFileEntry() {
    static const NtCreateFileFunction function = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        const FARPROC proc = ntdll == nullptr ? nullptr : GetProcAddress(ntdll, "NtCreateFile");
        // GetProcAddress returns every export under one type; the cast names the real one.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
        return reinterpret_cast<NtCreateFileFunction>(reinterpret_cast<void (*)()>(proc));
    }();
    return function;
}

// A FileHandle is the HANDLE's value: these two casts are the only way between them.
HANDLE ToHandle(FileHandle file) {
    return reinterpret_cast<HANDLE>(file);   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast,performance-no-int-to-ptr)
}
FileHandle ToFileHandle(HANDLE file) {
    return reinterpret_cast<FileHandle>(file);   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

// Levels are held without FILE_SHARE_DELETE: a rename or delete needs DELETE access, which
// nobody else can then be granted.
constexpr ULONG kShareLevel = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ACCESS_MASK kLevelAccess = FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
constexpr std::size_t kMaxReparseData = MAXIMUM_REPARSE_DATA_BUFFER_SIZE;
// A UNICODE_STRING counts its bytes in 16 bits.
constexpr std::size_t kMaxNameBytes = 0xFFFE;
// An entry whose rights cannot be read counts as one granting every right.
constexpr ACCESS_MASK kEveryRight = 0xFFFFFFFFu;

struct NtOpen {
    HANDLE root = nullptr;
    const std::u16string* name = nullptr;
    ACCESS_MASK access = 0;
    ULONG share = 0;
    ULONG disposition = FILE_OPEN;
    ULONG options = 0;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
};

// One NtCreateFile, case-insensitive as Win32 opens are, synchronous; kNoFile on any failure.
FileHandle Open(const NtOpen& open) {
    const NtCreateFileFunction ntCreateFile = NtCreateFileEntry();
    const std::size_t bytes = open.name->size() * sizeof(wchar_t);
    if (ntCreateFile == nullptr || bytes == 0 || bytes > kMaxNameBytes) return kNoFile;
    UNICODE_STRING name{};
    name.Length = static_cast<USHORT>(bytes);
    name.MaximumLength = static_cast<USHORT>(bytes);
    // The native call only reads the name.
    name.Buffer = const_cast<PWSTR>(Wide(*open.name));   // NOLINT(cppcoreguidelines-pro-type-const-cast)
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = open.root;
    attributes.ObjectName = &name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    attributes.SecurityDescriptor = open.descriptor;
    IO_STATUS_BLOCK status{};
    HANDLE handle = nullptr;
    const NTSTATUS result = ntCreateFile(&handle, open.access, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
                                         open.share, open.disposition, open.options | FILE_SYNCHRONOUS_IO_NONALERT,
                                         nullptr, 0);
    if (!NT_SUCCESS(result) || handle == nullptr || handle == INVALID_HANDLE_VALUE) return kNoFile;
    return ToFileHandle(handle);
}

// One name inside a held directory: never a path, which would be walked without any check.
bool IsOneName(const std::u16string& name) {
    return !name.empty() && name.find_first_of(u"\\/") == std::u16string::npos;
}

// The SID an access entry names, wherever its type puts it; empty when it cannot be read.
std::u16string TrusteeOf(const ACE_HEADER* header, std::size_t sidOffset) {
    if (sidOffset >= header->AceSize) return {};
    // The entry's bytes: its header, its fields, then the SID.
    const auto* bytes = reinterpret_cast<const BYTE*>(header);   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    PSID sid = const_cast<BYTE*>(bytes + sidOffset);   // NOLINT(cppcoreguidelines-pro-type-const-cast,cppcoreguidelines-pro-bounds-pointer-arithmetic)
    if (!IsValidSid(sid) || GetLengthSid(sid) > header->AceSize - sidOffset) return {};
    LPWSTR raw = nullptr;
    if (!ConvertSidToStringSidW(sid, &raw)) return {};
    const UniqueLocal text(raw);
    return Utf16(raw);
}

AccessEntry ReadEntry(const ACE_HEADER* header) {
    AccessEntry entry;
    entry.type = header->AceType;
    entry.flags = header->AceFlags;
    if (header->AceSize < sizeof(ACE_HEADER) + sizeof(ACCESS_MASK)) {
        entry.mask = kEveryRight;
        return entry;
    }
    std::memcpy(&entry.mask, reinterpret_cast<const BYTE*>(header) + sizeof(ACE_HEADER),   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast,cppcoreguidelines-pro-bounds-pointer-arithmetic)
                sizeof entry.mask);
    std::size_t sidOffset = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
    switch (header->AceType) {
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE: {
            DWORD flags = 0;
            if (header->AceSize < sidOffset + sizeof flags) return entry;
            std::memcpy(&flags, reinterpret_cast<const BYTE*>(header) + sidOffset, sizeof flags);   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast,cppcoreguidelines-pro-bounds-pointer-arithmetic)
            sidOffset += sizeof flags;
            if ((flags & ACE_OBJECT_TYPE_PRESENT) != 0) sidOffset += sizeof(GUID);
            if ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0) sidOffset += sizeof(GUID);
            break;
        }
        default: break;
    }
    entry.trustee = TrusteeOf(header, sidOffset);
    return entry;
}

}  // namespace

std::optional<std::u16string> Win32Platform::CurrentDirectory() {
    const DWORD need = GetCurrentDirectoryW(0, nullptr);
    if (need == 0) return std::nullopt;
    std::wstring text(need, L'\0');
    const DWORD got = GetCurrentDirectoryW(need, text.data());
    if (got == 0 || got >= need) return std::nullopt;
    return std::u16string(Utf16(text.c_str()), got);
}

std::optional<std::u16string> Win32Platform::DriveDirectory(char16_t drive) {
    const std::u16string name{drive, u':'};
    const DWORD need = GetFullPathNameW(Wide(name), 0, nullptr, nullptr);
    if (need == 0) return std::nullopt;
    std::wstring text(need, L'\0');
    const DWORD got = GetFullPathNameW(Wide(name), need, text.data(), nullptr);
    if (got == 0 || got >= need) return std::nullopt;
    return std::u16string(Utf16(text.c_str()), got);
}

FileHandle Win32Platform::OpenRoot(const std::u16string& root) {
    return Open({nullptr, &root, kLevelAccess, kShareLevel, FILE_OPEN, FILE_DIRECTORY_FILE, nullptr});
}

FileHandle Win32Platform::OpenChild(FileHandle parent, const std::u16string& name) {
    if (!IsOneName(name)) return kNoFile;
    return Open({ToHandle(parent), &name, kLevelAccess, kShareLevel, FILE_OPEN, FILE_OPEN_REPARSE_POINT, nullptr});
}

// Without FILE_OPEN_REPARSE_POINT a create follows a link already at the name, even a dangling
// one, and makes its target; with it, anything at the name fails the create.
FileHandle Win32Platform::CreateChildDirectory(FileHandle parent, const std::u16string& name,
                                               const SecurityAttributes& security) {
    if (!IsOneName(name)) return kNoFile;
    return Open({ToHandle(parent), &name, kLevelAccess | DELETE, kShareLevel, FILE_CREATE,
                 FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, security.descriptor});
}

bool Win32Platform::CreateChildFile(FileHandle parent, const std::u16string& name, const SecurityAttributes& security) {
    if (!IsOneName(name)) return false;
    const FileHandle file = Open({ToHandle(parent), &name, GENERIC_READ | GENERIC_WRITE, 0, FILE_CREATE,
                                  FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, security.descriptor});
    if (file == kNoFile) return false;
    CloseHandle(ToHandle(file));
    return true;
}

FileHandle Win32Platform::OpenChildForWriting(FileHandle parent, const std::u16string& name) {
    if (!IsOneName(name)) return kNoFile;
    return Open({ToHandle(parent), &name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, FILE_OPEN,
                 FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, nullptr});
}

// The two classes that hold the attributes, the reparse tag and the link count:
// GetFileInformationByHandle gives the same but also asks the volume for its serial number,
// which costs far more.
std::optional<HandleInfo> Win32Platform::QueryHandle(FileHandle file) {
    FILE_ATTRIBUTE_TAG_INFO attributes{};
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(ToHandle(file), FileAttributeTagInfo, &attributes, sizeof attributes) ||
        !GetFileInformationByHandleEx(ToHandle(file), FileStandardInfo, &standard, sizeof standard)) {
        return std::nullopt;
    }
    return HandleInfo{attributes.FileAttributes, attributes.ReparseTag, standard.NumberOfLinks};
}

std::optional<EntrySecurity> Win32Platform::ReadSecurity(FileHandle entry) {
    PSID owner = nullptr;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (GetSecurityInfo(ToHandle(entry), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        &owner, nullptr, &list, nullptr, &raw) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const UniqueLocal descriptor(raw);
    EntrySecurity security;
    LPWSTR ownerText = nullptr;
    if (owner == nullptr || !ConvertSidToStringSidW(owner, &ownerText)) return std::nullopt;
    const UniqueLocal ownerTextOwner(ownerText);
    security.owner = Utf16(ownerText);
    // A NULL list grants everyone everything.
    security.hasList = list != nullptr;
    if (list == nullptr) return security;
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(list, &size, sizeof size, AclSizeInformation)) return std::nullopt;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(list, i, &ace)) return std::nullopt;
        security.list.push_back(ReadEntry(static_cast<const ACE_HEADER*>(ace)));
    }
    return security;
}

std::optional<std::vector<std::uint8_t>> Win32Platform::ReadReparseData(FileHandle entry) {
    std::vector<std::uint8_t> data(kMaxReparseData);
    DWORD got = 0;
    if (!DeviceIoControl(ToHandle(entry), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                         static_cast<DWORD>(data.size()), &got, nullptr)) {
        return std::nullopt;
    }
    data.resize(got);
    return data;
}

bool Win32Platform::DeleteEmptyDirectory(FileHandle directory) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(ToHandle(directory), FileDispositionInfo, &disposition, sizeof disposition) != 0;
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
