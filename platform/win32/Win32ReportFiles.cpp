#include <windows.h>

#include <aclapi.h>
#include <winioctl.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <vector>

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
using NtSetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);

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

NtSetInformationFileFunction NtSetInformationFileEntry() {
    static const auto function = NtdllEntry<NtSetInformationFileFunction>("NtSetInformationFile");
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
static_assert(kAccessTraverse == FILE_TRAVERSE && kAccessReadAttributes == FILE_READ_ATTRIBUTES &&
                  kAccessDelete == DELETE && kAccessReadControl == READ_CONTROL && kAccessWriteDac == WRITE_DAC &&
                  kAccessSynchronize == SYNCHRONIZE && kAccessGenericWrite == GENERIC_WRITE,
              "access rights as Windows defines them");
static_assert(kShareRead == FILE_SHARE_READ && kShareWrite == FILE_SHARE_WRITE && kShareDelete == FILE_SHARE_DELETE,
              "sharing as Windows defines it");
static_assert(kDeviceCdRom == FILE_DEVICE_CD_ROM && kDeviceDisk == FILE_DEVICE_DISK &&
                  kDeviceDiskFileSystem == FILE_DEVICE_DISK_FILE_SYSTEM &&
                  kDeviceMultiUncProvider == FILE_DEVICE_MULTI_UNC_PROVIDER &&
                  kDeviceNetworkFileSystem == FILE_DEVICE_NETWORK_FILE_SYSTEM,
              "device types as Windows defines them");
// mingw-w64 declares no FILE_REMOTE_DEVICE: Platform.h spells it as the FILE_FS_DEVICE_INFORMATION
// page (MS-FSCC 2.5.10) gives it.
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND && kErrorFileExists == ERROR_FILE_EXISTS &&
                  kErrorInvalidParameter == ERROR_INVALID_PARAMETER && kErrorAlreadyExists == ERROR_ALREADY_EXISTS,
              "the Win32 errors");
// A UNICODE_STRING counts its bytes in 16 bits.
constexpr std::size_t kMaxNameBytes = 0xFFFE;
// QueryDosDeviceW's answer: a device's NT name, or a folder's for a substituted drive.
constexpr DWORD kMaxDeviceLink = 1024;

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

// The name table alone: QueryDosDeviceW opens nothing, so a drive that stands for a share sends
// nothing to its server here.
std::optional<std::u16string> Win32Platform::DeviceLink(const std::u16string& name) {
    std::wstring link(kMaxDeviceLink, L'\0');
    const DWORD got = QueryDosDeviceW(Wide(name), link.data(), kMaxDeviceLink);
    if (got == 0) {
        Fail(GetLastError());
        return std::nullopt;
    }
    // The first of the strings is the current mapping; earlier ones that were not removed follow.
    return std::u16string(Utf16(link.c_str()));
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

// The name below the volume's root (MS-FSA 2.1.5.12.19 builds it from the volume's root
// directory): "\" for the root itself.
std::optional<std::u16string> Win32Platform::QueryName(FileHandle entry) {
    // FILE_NAME_INFO is a length and the first unit of the name; room for the longest name follows.
    std::vector<std::uint8_t> buffer(sizeof(FILE_NAME_INFO) + kMaxNameBytes);
    if (!GetFileInformationByHandleEx(ToHandle(entry), FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size()))) {
        Fail(GetLastError());
        return std::nullopt;
    }
    FILE_NAME_INFO info{};
    std::memcpy(&info, buffer.data(), sizeof info);
    const std::size_t offset = offsetof(FILE_NAME_INFO, FileName);
    if (info.FileNameLength > buffer.size() - offset) {
        Fail(ERROR_INVALID_DATA);
        return std::nullopt;
    }
    std::u16string name(info.FileNameLength / sizeof(char16_t), u'\0');
    std::memcpy(name.data(), &buffer.at(offset), name.size() * sizeof(char16_t));
    return name;
}

// The list alone, its entries marked inherited or not and its control bits as they stand.
Descriptor Win32Platform::ReadAccessList(FileHandle entry) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // GetSecurityInfo answers its error instead of setting the thread's.
    const DWORD status = GetSecurityInfo(ToHandle(entry), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         nullptr, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        Fail(status);
        return nullptr;
    }
    return descriptor;
}

// SetKernelObjectSecurity hands the descriptor to the file system as it is; SetSecurityInfo would
// open the parent by name to work out what it passes on.
bool Win32Platform::WriteAccessList(FileHandle entry, Descriptor descriptor) {
    return SetKernelObjectSecurity(ToHandle(entry), DACL_SECURITY_INFORMATION, descriptor) != 0 || Fail(GetLastError());
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

bool Win32Platform::FlushFile(FileHandle file) { return ::FlushFileBuffers(ToHandle(file)) != 0 || Fail(GetLastError()); }

// The native call: SetFileInformationByHandle(FileRenameInfo) takes the same record, but Wine
// refuses it with a RootDirectory, and the bench must run what Windows runs.
bool Win32Platform::RenameInto(FileHandle file, FileHandle folder, const std::u16string& name) {
    const NtSetInformationFileFunction setInformation = NtSetInformationFileEntry();
    if (setInformation == nullptr) return Fail(ERROR_PROC_NOT_FOUND);
    if (!IsOneName(name)) return Fail(ERROR_INVALID_NAME);
    const std::size_t bytes = name.size() * sizeof(char16_t);
    if (bytes > kMaxNameBytes) return Fail(ERROR_FILENAME_EXCED_RANGE);
    // FILE_RENAME_INFORMATION: its fixed fields, then the name (FileName holds its first unit).
    std::vector<std::uint8_t> record(sizeof(FILE_RENAME_INFORMATION) + bytes);
    FILE_RENAME_INFORMATION head{};
    head.ReplaceIfExists = TRUE;   // never FILE_RENAME_POSIX_SEMANTICS: an open target refuses
    head.RootDirectory = ToHandle(folder);
    head.FileNameLength = static_cast<ULONG>(bytes);
    std::memcpy(record.data(), &head, sizeof head);
    std::memcpy(&record.at(offsetof(FILE_RENAME_INFORMATION, FileName)), name.data(), bytes);
    IO_STATUS_BLOCK status{};
    const NTSTATUS result = setInformation(ToHandle(file), &status, record.data(), static_cast<ULONG>(record.size()),
                                           FileRenameInformation);
    return NT_SUCCESS(result) || Fail(Win32ErrorOf(result));
}

void Win32Platform::CloseFile(FileHandle file) { CloseHandle(ToHandle(file)); }

}  // namespace platform::win32
