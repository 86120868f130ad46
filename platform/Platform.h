#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The one door to the operating system. The launcher's own code never calls Win32 directly:
// the shipped exe plugs in the Win32 implementation, the unit tests an in-memory model.
// Every operation answers the way the Windows call it wraps does, so the callers' branches
// are the ones that run on Windows.
namespace platform {

// Win32 values the callers test against, spelled here so that code outside the platform
// layer needs no Windows headers.
inline constexpr std::uint32_t kAttributeDirectory = 0x10u;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400u;
inline constexpr std::uint32_t kReparseTagSymlink = 0xA000000Cu;
inline constexpr std::uint32_t kReparseTagMountPoint = 0xA0000003u;
// The name-surrogate bit: the entry stands for another named entity (a link of any kind).
inline constexpr std::uint32_t kReparseTagNameSurrogate = 0x20000000u;
inline constexpr std::uint32_t kSecurityAttributesLength = 24u;   // sizeof(SECURITY_ATTRIBUTES) on x64

// Access rights and sharing of the report path's opens. The walk decides what each open asks
// for and hands it to the platform, so that the model judges the same request the exe makes.
inline constexpr std::uint32_t kAccessTraverse = 0x20u;          // FILE_TRAVERSE (FILE_EXECUTE on a file)
inline constexpr std::uint32_t kAccessReadAttributes = 0x80u;    // FILE_READ_ATTRIBUTES
inline constexpr std::uint32_t kAccessDelete = 0x10000u;         // DELETE
inline constexpr std::uint32_t kAccessReadControl = 0x20000u;    // READ_CONTROL
inline constexpr std::uint32_t kAccessWriteDac = 0x40000u;       // WRITE_DAC
inline constexpr std::uint32_t kAccessSynchronize = 0x100000u;   // SYNCHRONIZE
inline constexpr std::uint32_t kAccessGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kShareRead = 0x1u;
inline constexpr std::uint32_t kShareWrite = 0x2u;
inline constexpr std::uint32_t kShareDelete = 0x4u;

// FILE_FS_DEVICE_INFORMATION: the volume's device type and characteristics. The two local disk
// types are the only ones the report path takes; everything else is for the model and the tests.
inline constexpr std::uint32_t kDeviceCdRom = 0x2u;                // FILE_DEVICE_CD_ROM
inline constexpr std::uint32_t kDeviceDisk = 0x7u;                 // FILE_DEVICE_DISK
inline constexpr std::uint32_t kDeviceDiskFileSystem = 0x8u;       // FILE_DEVICE_DISK_FILE_SYSTEM
inline constexpr std::uint32_t kDeviceMultiUncProvider = 0x10u;    // FILE_DEVICE_MULTI_UNC_PROVIDER
inline constexpr std::uint32_t kDeviceNetworkFileSystem = 0x14u;   // FILE_DEVICE_NETWORK_FILE_SYSTEM
inline constexpr std::uint32_t kVolumeRemoteDevice = 0x10u;        // FILE_REMOTE_DEVICE

// Win32 errors the walk tells apart.
inline constexpr std::uint32_t kErrorFileNotFound = 2u;                  // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t kErrorFileExists = 80u;                   // ERROR_FILE_EXISTS
inline constexpr std::uint32_t kErrorInvalidParameter = 87u;             // ERROR_INVALID_PARAMETER
inline constexpr std::uint32_t kErrorAlreadyExists = 183u;               // ERROR_ALREADY_EXISTS
inline constexpr std::uint32_t kErrorReparsePointEncountered = 4395u;    // ERROR_REPARSE_POINT_ENCOUNTERED

// One entry per value of an 8-bit code unit.
inline constexpr std::size_t kByteValueCount = 256;

// Opaque file handle as handed out by the platform; 0 means "nothing".
using FileHandle = std::uintptr_t;
inline constexpr FileHandle kNoFile = 0;

// Opaque security descriptor built from SDDL text; nullptr means "nothing".
using Descriptor = void*;

// Mirrors SECURITY_ATTRIBUTES: length 24 on x64, the descriptor, inherit flag false.
struct SecurityAttributes {
    std::uint32_t length = kSecurityAttributesLength;
    Descriptor descriptor = nullptr;
    bool inheritHandle = false;
};

// What the ANSI code page needs known to quote a path in it.
struct AnsiCodePage {
    std::array<bool, kByteValueCount> isLeadByte{};       // lead bytes of a double-byte code page
    std::vector<std::string> singleQuotes;    // how U+2018..U+201B encode, where they do
};

enum class ReserveResult { Created, AlreadyExists, Failed };
enum class ReadResult { Ok, CannotOpen, NotAPlainFile, TooLarge, NoMemory, ReadFailed };

// A whole file's bytes. The memory is sized by a file another program wrote, so running out
// of it is an answer (ReadResult::NoMemory), never the end of the process: it comes from the C
// heap, whose calloc answers null where C++ allocation would end the run.
struct FileBytes {
    struct FreeHeap {
        // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory): releases what calloc gave
        void operator()(std::uint8_t* bytes) const { std::free(bytes); }
    };
    std::unique_ptr<std::uint8_t, FreeHeap> data;   // the first of `size` bytes
    std::size_t size = 0;

    // Zero-filled room for `count` bytes, none of them counted yet; false when the memory is
    // not there.
    bool Allocate(std::size_t count) {
        // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory): fails softly, see above
        data.reset(static_cast<std::uint8_t*>(std::calloc(count == 0 ? 1 : count, 1)));
        size = 0;
        return data != nullptr;
    }
    std::span<const std::uint8_t> View() const { return {data.get(), size}; }
};

// What one open of the report path asks for.
struct OpenRequest {
    std::uint32_t access = 0;   // ACCESS_MASK
    std::uint32_t share = 0;    // FILE_SHARE_*
    // OBJ_DONT_REPARSE: the open fails with ERROR_REPARSE_POINT_ENCOUNTERED rather than follow any
    // reparse point on its way, the held directory it starts from included. Never on a root's own
    // open: \??\C: is itself a link.
    bool dontReparse = false;
};

// The volume a handle's entry lies on.
struct VolumeInfo {
    std::uint32_t deviceType = 0;
    std::uint32_t characteristics = 0;
};

// What a handle shows of the entry it was opened on.
struct HandleInfo {
    std::uint32_t attributes = 0;
    std::uint32_t reparseTag = 0;   // meaningful only with kAttributeReparsePoint
    std::uint32_t links = 0;
};

// How a child process ended, as far as the launcher looked. Its exit code is recorded for the
// trace and never trusted: every outcome is judged by asking the store again.
enum class ChildEnd : std::uint8_t { NotStarted, Exited, ExitCodeUnreadable, WaitFailed };
struct ChildProcess {
    ChildEnd end = ChildEnd::NotStarted;
    std::uint32_t processId = 0;
    std::uint32_t exitCode = 0;    // GetExitCodeProcess, when it answered
    std::uint32_t waitError = 0;   // WaitFailed: the wait's error
    bool Started() const { return end != ChildEnd::NotStarted; }
};

// --- tracing ---
// The levels and keywords of the events the launcher writes for a trace session. An event name
// always goes out at one level: decoders know a self-describing event by its name. An event
// with no keyword reaches every session that listens at its level, except one that excludes
// keyword 0 (EVENT_ENABLE_PROPERTY_IGNORE_KEYWORD_0).
enum class TraceLevel : std::uint8_t { Error = 2, Information = 4, Verbose = 5 };
inline constexpr std::uint64_t kTraceProcess = 0x1;      // child processes and the tools' steps
inline constexpr std::uint64_t kTraceQuery = 0x2;        // questions to the store, temp reports
inline constexpr std::uint64_t kTraceRegistry = 0x4;     // the version record
inline constexpr std::uint64_t kTraceReportPath = 0x8;   // the status report and its path walk

// One named value of an event. It only points at the caller's data: nothing is copied or
// formatted unless a session listens.
struct TraceField {
    enum class Kind : std::uint8_t { Text, WideText, Path, Number, Hex, Size };
    const char* name = "";
    Kind kind = Kind::Number;
    std::string_view text;                    // Text: 8-bit text in the ANSI code page
    std::u16string_view wide;                 // WideText; for a Path, its root (\??\C:\ ...)
    std::span<const std::u16string> names;    // Path: the names below the root
    std::u16string_view leaf;                 // Path: one name more after them, or nothing
    std::uint64_t number = 0;                 // Number and Hex (32 bits), Size (64 bits)
};

struct TraceEvent {
    const char* name;
    TraceLevel level;
    std::uint64_t keywords;
    std::span<const TraceField> fields;
};

class Platform {
public:
    virtual ~Platform() = default;

    // --- command line ---
    // CommandLineToArgvW; nullopt when the split fails.
    virtual std::optional<std::vector<std::u16string>> SplitCommandLine(const std::u16string& commandLine) = 0;

    // --- processes ---
    // GetSystemDirectoryW, converted to the ANSI code page without best-fit mapping; nullopt
    // when the folder cannot be read or has a character the code page cannot hold.
    virtual std::optional<std::string> SystemFolder() = 0;
    // CreateProcessA with `application` as the program (never searched for) and `commandLine`
    // as its command line; hidden window, no inheritance, own environment and directory; waits
    // without a time-out (WaitForSingleObject), reads the exit code (GetExitCodeProcess) and
    // closes both handles. NotStarted when the process could not start.
    virtual ChildProcess RunHiddenCommand(const std::string& application, const std::string& commandLine) = 0;

    // --- temp report of the presence query ---
    // GetTempPath2A where the system has it, GetTempPathA otherwise; same contract:
    // the length written, or the size needed when the buffer is too small, or 0.
    virtual std::uint32_t TempFolder(char* buffer, std::uint32_t size) = 0;
    virtual void SeedRandomFromClock() = 0;   // srand(time(nullptr))
    virtual int NextRandom() = 0;             // rand(): 0..32767
    virtual AnsiCodePage QueryAnsiCodePage() = 0;
    // Creates a new plain file holding `content`; fails on any existing entry, links included.
    virtual ReserveResult ReserveFile(const std::string& path, std::string_view content) = 0;
    // Reads a whole plain file, never through a link at its last component. Anything but Ok
    // leaves `bytes` empty; so does a read that ends before the size the file had when opened.
    virtual ReadResult ReadWholeFile(const std::string& path, std::size_t maxBytes, FileBytes& bytes) = 0;
    virtual bool RemoveFile(const std::string& path) = 0;   // DeleteFileA

    // --- version record under HKEY_LOCAL_MACHINE, 64-bit view ---
    // RegCreateKeyExW + RegSetValueExW(REG_SZ) + RegCloseKey. False when the key could not
    // be created or opened, or the value not set.
    virtual bool WriteRegistryString(const std::u16string& keyPath, const std::u16string& valueName,
                                     const std::u16string& text) = 0;
    // RegDeleteTreeW. True when the key is gone, including when there was none to delete.
    virtual bool DeleteRegistryTree(const std::u16string& keyPath) = 0;

    // --- protected report output ---
    virtual Descriptor BuildDescriptor(const std::u16string& sddl) = 0;   // nullptr on failure
    virtual void FreeDescriptor(Descriptor descriptor) = 0;               // LocalFree
    // What a relative report path is resolved against: GetCurrentDirectoryW, and the current
    // directory of one drive (GetFullPathNameW of "X:", its root when none was set). nullopt when
    // it cannot be read.
    virtual std::optional<std::u16string> CurrentDirectory() = 0;
    virtual std::optional<std::u16string> DriveDirectory(char16_t drive) = 0;

    // QueryDosDeviceW: the current mapping of an MS-DOS device name ("C:", "Volume{...}"), the
    // object-manager link a root in its NT form (\??\C:\) goes through: "\Device\HarddiskVolume3"
    // for a volume, "\??\C:\folder" for a drive made with subst. Only the name table is read:
    // nothing is opened and nothing is sent anywhere. nullopt when the name is not defined.
    virtual std::optional<std::u16string> DeviceLink(const std::u16string& name) = 0;

    // The report path is walked through handles, from a root down, one name at a time. Every
    // entry is opened as itself (FILE_OPEN_REPARSE_POINT), never as what a link there leads to,
    // with the access, sharing and OBJ_DONT_REPARSE the caller asks for. A name is one component,
    // never a path. kNoFile on every failure. On a local volume each open is made relative to the
    // handle of the directory above; on a share the server resolves every name again (MS-SMB2
    // 2.2.13 carries no root handle), so nothing held there pins anything.
    //
    // NtOpenFile of the root directory of a drive, share or volume, in its NT form:
    // \??\C:\, \??\UNC\server\share\, \??\Volume{...}\ (each with its final backslash).
    virtual FileHandle OpenRoot(const std::u16string& root, const OpenRequest& request) = 0;
    // NtCreateFile(FILE_OPEN) of the entry `name` inside the directory held by `parent`, whatever
    // it is.
    virtual FileHandle OpenChild(FileHandle parent, const std::u16string& name, const OpenRequest& request) = 0;
    // NtCreateFile(FILE_CREATE) of a directory `name` inside `parent`, carrying the given
    // descriptor: fails on anything already there, a link included.
    virtual FileHandle CreateChildDirectory(FileHandle parent, const std::u16string& name, const OpenRequest& request,
                                            const SecurityAttributes& security) = 0;
    // NtCreateFile(FILE_CREATE, FILE_NON_DIRECTORY_FILE) of an empty plain file `name` inside
    // `parent` with the given descriptor, its handle kept: what is written goes through the handle
    // that made the file. Fails on anything already there, a link included (ERROR_ALREADY_EXISTS,
    // the status STATUS_OBJECT_NAME_COLLISION).
    virtual FileHandle CreateChildFile(FileHandle parent, const std::u16string& name, const OpenRequest& request,
                                       const SecurityAttributes& security) = 0;
    // GetFileInformationByHandleEx: FileAttributeTagInfo (attributes and reparse tag; the handle
    // must be open to read attributes or data) and FileStandardInfo (the link count).
    virtual std::optional<HandleInfo> QueryHandle(FileHandle file) = 0;
    // GetFileInformationByHandleEx(FileNameInfo): the entry's path from the root of its volume,
    // "\" for the root itself.
    virtual std::optional<std::u16string> QueryName(FileHandle entry) = 0;
    // NtQueryVolumeInformationFile(FileFsDeviceInformation): the device type and characteristics
    // of the volume the entry lies on.
    virtual std::optional<VolumeInfo> QueryVolume(FileHandle entry) = 0;
    // GetSecurityInfo(DACL_SECURITY_INFORMATION) of an entry opened with READ_CONTROL: its access
    // list, control bits and entries as they stand, in a descriptor FreeDescriptor releases.
    // nullptr on failure.
    virtual Descriptor ReadAccessList(FileHandle entry) = 0;
    // SetKernelObjectSecurity(DACL_SECURITY_INFORMATION) through a handle opened with WRITE_DAC:
    // the entry gets the list of `descriptor` exactly, as ReadAccessList gave it.
    virtual bool WriteAccessList(FileHandle entry, Descriptor descriptor) = 0;
    // SetFileInformationByHandle(FileDispositionInfo) on an entry opened with DELETE: it goes when
    // its last handle closes. Fails on a directory that holds anything.
    virtual bool MarkForDeletion(FileHandle entry) = 0;
    // WriteFile; false when it fails or writes less than `size` bytes.
    virtual bool WriteBytes(FileHandle file, const void* data, std::uint32_t size) = 0;
    virtual bool FlushFile(FileHandle file) = 0;   // FlushFileBuffers
    // NtSetInformationFile(FileRenameInformation) of a file opened with DELETE: it takes the name
    // `name` inside the directory `folder` holds (RootDirectory), replacing what stands there
    // (ReplaceIfExists), never with POSIX semantics. Fails, changing nothing, when that is a
    // directory or a file someone has open (MS-FSCC 2.4.42: STATUS_ACCESS_DENIED); a link there
    // loses its name, never its target, and a file with a second hard link loses only this name.
    virtual bool RenameInto(FileHandle file, FileHandle folder, const std::u16string& name) = 0;
    virtual void CloseFile(FileHandle file) = 0;

    // --- errors and tracing ---
    // The Win32 error number of the last operation that failed (GetLastError, or the status a
    // call answered), kept until another one fails. Read right after the failure.
    virtual std::uint32_t LastError() = 0;
    // Writes one event for a trace session that listens to the launcher's provider at the
    // event's level and keywords; otherwise it returns at once, having formatted nothing.
    virtual void Trace(const TraceEvent& event) = 0;

protected:
    // Copied or moved only as the implementation it is, never through this interface.
    Platform() = default;
    Platform(const Platform&) = default;
    Platform& operator=(const Platform&) = default;
    Platform(Platform&&) = default;
    Platform& operator=(Platform&&) = default;
};

}  // namespace platform
