#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>
#include <winternl.h>

#include <cstring>

#include "platform/win32/SystemExport.h"
#include "platform/win32/UniqueResource.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {
namespace {

static_assert(sizeof(SECURITY_ATTRIBUTES) == kSecurityAttributesLength, "the record's length field is 24 on x64");

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using RtlNtStatusToDosErrorFunction = ULONG(NTAPI*)(NTSTATUS);
using NtQueryVolumeInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                               FS_INFORMATION_CLASS);

// Win32 opens no entry relative to a directory handle; ntdll's native call does, and ntdll is
// mapped into every process, so it is looked up rather than imported.
template <typename Function>
Function NtdllEntry(const char* name) {
    return LoadedExport<Function>(L"ntdll.dll", name);
}

NtCreateFileFunction NtCreateFileEntry() {
    static const auto function = NtdllEntry<NtCreateFileFunction>("NtCreateFile");
    return function;
}

NtQueryVolumeInformationFileFunction NtQueryVolumeInformationFileEntry() {
    static const auto function = NtdllEntry<NtQueryVolumeInformationFileFunction>("NtQueryVolumeInformationFile");
    return function;
}

// The Win32 error a native status stands for, as the Win32 file functions would answer it.
std::uint32_t Win32ErrorOf(NTSTATUS status) {
    static const auto toDosError = NtdllEntry<RtlNtStatusToDosErrorFunction>("RtlNtStatusToDosError");
    return toDosError == nullptr ? static_cast<std::uint32_t>(ERROR_GEN_FAILURE) : toDosError(status);
}

// A FileHandle is the HANDLE's value: these two casts are the only way between them.
HANDLE ToHandle(FileHandle file) {
    return reinterpret_cast<HANDLE>(file);   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast,performance-no-int-to-ptr)
}
FileHandle ToFileHandle(HANDLE file) {
    return reinterpret_cast<FileHandle>(file);   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

// The values the walk hands over are the Win32 ones; it spells them without Windows headers.
static_assert(kAccessTraverse == FILE_TRAVERSE && kAccessDeleteChild == FILE_DELETE_CHILD &&
                  kAccessReadAttributes == FILE_READ_ATTRIBUTES && kAccessDelete == DELETE &&
                  kAccessReadControl == READ_CONTROL && kAccessSynchronize == SYNCHRONIZE &&
                  kAccessGenericWrite == GENERIC_WRITE,
              "access rights as Windows defines them");
static_assert(kShareRead == FILE_SHARE_READ && kShareWrite == FILE_SHARE_WRITE && kShareDelete == FILE_SHARE_DELETE,
              "sharing as Windows defines it");
static_assert(kDeviceDfs == FILE_DEVICE_DFS && kDeviceDisk == FILE_DEVICE_DISK && kDeviceNetwork == FILE_DEVICE_NETWORK &&
                  kDeviceNetworkFileSystem == FILE_DEVICE_NETWORK_FILE_SYSTEM,
              "device types as Windows defines them");
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER, "the Win32 error");
constexpr std::size_t kMaxReparseData = MAXIMUM_REPARSE_DATA_BUFFER_SIZE;
// A UNICODE_STRING counts its bytes in 16 bits.
constexpr std::size_t kMaxNameBytes = 0xFFFE;
// An entry whose rights cannot be read counts as one granting every right.
constexpr ACCESS_MASK kEveryRight = 0xFFFFFFFFu;

struct NtOpen {
    HANDLE root = nullptr;
    const std::u16string* name = nullptr;
    const OpenRequest* request = nullptr;
    ULONG disposition = FILE_OPEN;
    ULONG options = 0;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
};

// One NtCreateFile, case-insensitive as Win32 opens are, synchronous; kNoFile on any failure,
// with its Win32 error in `error`.
FileHandle Open(const NtOpen& open, std::uint32_t& error) {
    const NtCreateFileFunction ntCreateFile = NtCreateFileEntry();
    const std::size_t bytes = open.name->size() * sizeof(wchar_t);
    if (ntCreateFile == nullptr) {
        error = ERROR_PROC_NOT_FOUND;
        return kNoFile;
    }
    if (bytes == 0 || bytes > kMaxNameBytes) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return kNoFile;
    }
    UNICODE_STRING name{};
    name.Length = static_cast<USHORT>(bytes);
    name.MaximumLength = static_cast<USHORT>(bytes);
    // The native call only reads the name.
    name.Buffer = const_cast<PWSTR>(Wide(*open.name));   // NOLINT(cppcoreguidelines-pro-type-const-cast)
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = open.root;
    attributes.ObjectName = &name;
    // A system older than the flag refuses the whole open, reportedly as an invalid parameter
    // (ppkg-verify's junction-after-check shows which): the open then fails, never goes on
    // without it.
    attributes.Attributes = OBJ_CASE_INSENSITIVE | (open.request->dontReparse ? OBJ_DONT_REPARSE : 0);
    attributes.SecurityDescriptor = open.descriptor;
    IO_STATUS_BLOCK status{};
    HANDLE handle = nullptr;
    const NTSTATUS result = ntCreateFile(&handle, open.request->access, &attributes, &status, nullptr,
                                         FILE_ATTRIBUTE_NORMAL, open.request->share, open.disposition,
                                         open.options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(result) || handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        error = NT_SUCCESS(result) ? static_cast<std::uint32_t>(ERROR_INVALID_HANDLE) : Win32ErrorOf(result);
        return kNoFile;
    }
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
    if (need == 0) {
        Fail(GetLastError());
        return std::nullopt;
    }
    std::wstring text(need, L'\0');
    const DWORD got = GetCurrentDirectoryW(need, text.data());
    if (got == 0 || got >= need) {
        Fail(got == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
        return std::nullopt;
    }
    return std::u16string(Utf16(text.c_str()), got);
}

std::optional<std::u16string> Win32Platform::DriveDirectory(char16_t drive) {
    const std::u16string name{drive, u':'};
    const DWORD need = GetFullPathNameW(Wide(name), 0, nullptr, nullptr);
    if (need == 0) {
        Fail(GetLastError());
        return std::nullopt;
    }
    std::wstring text(need, L'\0');
    const DWORD got = GetFullPathNameW(Wide(name), need, text.data(), nullptr);
    if (got == 0 || got >= need) {
        Fail(got == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
        return std::nullopt;
    }
    return std::u16string(Utf16(text.c_str()), got);
}

FileHandle Win32Platform::OpenRoot(const std::u16string& root, const OpenRequest& request) {
    std::uint32_t error = 0;
    const FileHandle handle = Open({nullptr, &root, &request, FILE_OPEN, FILE_DIRECTORY_FILE, nullptr}, error);
    return handle != kNoFile ? handle : FailOpen(error);
}

FileHandle Win32Platform::OpenChild(FileHandle parent, const std::u16string& name, const OpenRequest& request) {
    if (!IsOneName(name)) return FailOpen(ERROR_INVALID_NAME);
    std::uint32_t error = 0;
    const FileHandle handle =
        Open({ToHandle(parent), &name, &request, FILE_OPEN, FILE_OPEN_REPARSE_POINT, nullptr}, error);
    return handle != kNoFile ? handle : FailOpen(error);
}

// Without FILE_OPEN_REPARSE_POINT a create follows a link already at the name, even a dangling
// one, and makes its target; with it, anything at the name fails the create.
FileHandle Win32Platform::CreateChildDirectory(FileHandle parent, const std::u16string& name,
                                               const OpenRequest& request, const SecurityAttributes& security) {
    if (!IsOneName(name)) return FailOpen(ERROR_INVALID_NAME);
    std::uint32_t error = 0;
    const FileHandle handle = Open({ToHandle(parent), &name, &request, FILE_CREATE,
                                    FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, security.descriptor},
                                   error);
    return handle != kNoFile ? handle : FailOpen(error);
}

FileHandle Win32Platform::CreateChildFile(FileHandle parent, const std::u16string& name, const OpenRequest& request,
                                          const SecurityAttributes& security) {
    if (!IsOneName(name)) return FailOpen(ERROR_INVALID_NAME);
    std::uint32_t error = 0;
    const FileHandle handle = Open({ToHandle(parent), &name, &request, FILE_CREATE,
                                    FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, security.descriptor},
                                   error);
    return handle != kNoFile ? handle : FailOpen(error);
}

FileHandle Win32Platform::OpenChildFile(FileHandle parent, const std::u16string& name, const OpenRequest& request) {
    if (!IsOneName(name)) return FailOpen(ERROR_INVALID_NAME);
    std::uint32_t error = 0;
    const FileHandle handle = Open({ToHandle(parent), &name, &request, FILE_OPEN,
                                    FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, nullptr},
                                   error);
    return handle != kNoFile ? handle : FailOpen(error);
}

// Win32 has no call for the device characteristics (GetDriveType takes a path, which could be
// swapped); the native query takes the handle the walk holds.
std::optional<VolumeInfo> Win32Platform::QueryVolume(FileHandle entry) {
    const NtQueryVolumeInformationFileFunction query = NtQueryVolumeInformationFileEntry();
    if (query == nullptr) {
        Fail(ERROR_PROC_NOT_FOUND);
        return std::nullopt;
    }
    FILE_FS_DEVICE_INFORMATION device{};
    IO_STATUS_BLOCK status{};
    const NTSTATUS result = query(ToHandle(entry), &status, &device, sizeof device, FileFsDeviceInformation);
    if (!NT_SUCCESS(result)) {
        Fail(Win32ErrorOf(result));
        return std::nullopt;
    }
    return VolumeInfo{device.DeviceType, device.Characteristics};
}

// The two classes that hold the attributes, the reparse tag and the link count:
// GetFileInformationByHandle gives the same but also asks the volume for its serial number,
// which costs far more.
std::optional<HandleInfo> Win32Platform::QueryHandle(FileHandle file) {
    FILE_ATTRIBUTE_TAG_INFO attributes{};
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(ToHandle(file), FileAttributeTagInfo, &attributes, sizeof attributes) ||
        !GetFileInformationByHandleEx(ToHandle(file), FileStandardInfo, &standard, sizeof standard)) {
        Fail(GetLastError());
        return std::nullopt;
    }
    return HandleInfo{attributes.FileAttributes, attributes.ReparseTag, standard.NumberOfLinks};
}

std::optional<EntrySecurity> Win32Platform::ReadSecurity(FileHandle entry) {
    PSID owner = nullptr;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    // GetSecurityInfo answers its error instead of setting the thread's.
    const DWORD status = GetSecurityInfo(ToHandle(entry), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &list,
                                         nullptr, &raw);
    if (status != ERROR_SUCCESS) {
        Fail(status);
        return std::nullopt;
    }
    const UniqueLocal descriptor(raw);
    EntrySecurity security;
    LPWSTR ownerText = nullptr;
    if (owner == nullptr || !ConvertSidToStringSidW(owner, &ownerText)) {
        Fail(owner == nullptr ? static_cast<DWORD>(ERROR_INVALID_OWNER) : GetLastError());
        return std::nullopt;
    }
    const UniqueLocal ownerTextOwner(ownerText);
    security.owner = Utf16(ownerText);
    // A NULL list grants everyone everything.
    security.hasList = list != nullptr;
    if (list == nullptr) return security;
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(list, &size, sizeof size, AclSizeInformation)) {
        Fail(GetLastError());
        return std::nullopt;
    }
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(list, i, &ace)) {
            Fail(GetLastError());
            return std::nullopt;
        }
        security.list.push_back(ReadEntry(static_cast<const ACE_HEADER*>(ace)));
    }
    return security;
}

std::optional<std::vector<std::uint8_t>> Win32Platform::ReadReparseData(FileHandle entry) {
    std::vector<std::uint8_t> data(kMaxReparseData);
    DWORD got = 0;
    if (!DeviceIoControl(ToHandle(entry), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                         static_cast<DWORD>(data.size()), &got, nullptr)) {
        Fail(GetLastError());
        return std::nullopt;
    }
    data.resize(got);
    return data;
}

bool Win32Platform::MarkForDeletion(FileHandle entry) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(ToHandle(entry), FileDispositionInfo, &disposition, sizeof disposition) != 0 ||
           Fail(GetLastError());
}

bool Win32Platform::WriteBytes(FileHandle file, const void* data, std::uint32_t size) {
    DWORD written = 0;
    if (!::WriteFile(ToHandle(file), data, size, &written, nullptr)) return Fail(GetLastError());
    // A write that ends short without an error is answered as a write fault.
    return written == size || Fail(ERROR_WRITE_FAULT);
}

bool Win32Platform::RewindFile(FileHandle file) {
    const LARGE_INTEGER start{};
    return ::SetFilePointerEx(ToHandle(file), start, nullptr, FILE_BEGIN) != 0 || Fail(GetLastError());
}

bool Win32Platform::EndFileHere(FileHandle file) { return ::SetEndOfFile(ToHandle(file)) != 0 || Fail(GetLastError()); }

void Win32Platform::CloseFile(FileHandle file) { CloseHandle(ToHandle(file)); }

}  // namespace platform::win32
