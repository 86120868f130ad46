#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "tests/model/Sddl.h"

// An in-memory model of the Windows behaviours the launcher relies on: a file system with
// attribute values, owners and access lists, reparse points with their tags and targets, hard
// links, links followed above the last component of a path, handles opened relative to a held
// directory with their access rights and sharing under the share-access check (MS-FSA
// 2.1.5.1.2.2), renames that replace a name (MS-FSA 2.1.5.15.11), drive letters as links of the
// object manager, volumes with their device characteristics, shares resolving every name again;
// processes as recorded command lines; the registry; failures on demand. Where Windows documents
// nothing the model takes the reading a protection must not rely on, or answers each reading a
// test asks for. Tests set it up through its public members and helpers.
namespace model {

// Win32 error codes the model answers with.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorBadPathname = 161;
inline constexpr std::uint32_t kErrorDirNotEmpty = 145;
inline constexpr std::uint32_t kErrorDirectory = 267;   // ERROR_DIRECTORY: not a directory
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorNotAReparsePoint = 4390;
inline constexpr std::uint32_t kErrorDeletePending = 303;
inline constexpr std::uint32_t kErrorCannotDelete = 1;   // STATUS_CANNOT_DELETE, as a code of its own
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorNoUnicodeTranslation = 1113;

// Owners and trustees, as GetSecurityInfo names them.
inline constexpr std::u16string_view kSystemSid = u"S-1-5-18";
inline constexpr std::u16string_view kAdministratorsSid = u"S-1-5-32-544";
inline constexpr std::u16string_view kTrustedInstallerSid =
    u"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
inline constexpr std::u16string_view kUserSid = u"S-1-5-21-1004336348-1177238915-682003330-1001";
// An access list that lets the standard users change what it guards, as entries made under
// C:\ProgramData get: FILE_WRITE_DATA and FILE_WRITE_ATTRIBUTES among others.
inline constexpr std::u16string_view kUsersMayWriteSddl = u"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x116;;;BU)";
inline constexpr std::uint32_t kAttributeArchive = 0x20;
inline constexpr std::uint32_t kAttributeNormal = 0x80;

// Paths compare without regard to ASCII letter case, as NTFS names do by default.
struct CaseInsensitiveLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const;
};

struct Entry {
    std::uint32_t attributes = kAttributeArchive;   // without the reparse bit; see IsReparse
    std::uint32_t reparseTag = 0;                   // non-zero: a reparse point with this tag
    std::u16string target;                          // a link's target, followed above the last component
    std::string content;                            // a file's bytes
    std::u16string sddl;                            // its access list as SDDL text; empty: grants nothing
    std::u16string owner = std::u16string(kAdministratorsSid);
    std::uint32_t links = 1;                        // hard links to the same file
    bool IsDirectory() const { return (attributes & platform::kAttributeDirectory) != 0; }
    bool IsReparse() const { return reparseTag != 0 || reparseBitWithoutTag; }
    bool reparseBitWithoutTag = false;              // what Wine shows: the bit, tag 0
    // Which object this is, whatever name it stands under: a handle stays with its object. 0
    // until something opens it; the names of one file (AddHardLink) share it, and what is written
    // through one shows through them all.
    std::uint64_t id = 0;
    bool deletePending = false;                     // goes when its last handle closes
    std::uint32_t Attributes() const {
        return IsReparse() ? (attributes | platform::kAttributeReparsePoint) : attributes;
    }
};

// A failure on demand: a call of the platform operation `operation`, answering as the Windows
// call fails, with nothing changed and nothing left open. Calls relative to a handle name the
// entry they reach ("OpenChild C:\\out\\new"). An operation made of several Windows calls names
// the one that fails after a colon:
//   ReserveFile:CreateFileA, ReserveFile:WriteFile, ReserveFile:DeleteFileA,
//   ReadWholeFile:CreateFileA, ReadWholeFile:GetFileInformationByHandle, ReadWholeFile:GetFileSize,
//   ReadWholeFile:allocation, ReadWholeFile:ReadFile (a read that fails, or ends short of the
//   file's size: both are answered ReadFailed),
//   RunHiddenCommand:WaitForSingleObject (the process started, the wait failed),
//   WriteRegistryString:RegCreateKeyExW, WriteRegistryString:RegSetValueExW.
// Every other operation goes by its own name, as in FakeWindows::calls.
struct Fault {
    explicit Fault(std::string name) : operation(std::move(name)) {}
    Fault& At(std::u16string where) { path = std::move(where); return *this; }
    Fault& OnCall(int n) { call = n; return *this; }
    Fault& WithError(std::uint32_t code) { error = code; return *this; }
    Fault& AfterBytes(std::size_t count) { bytes = count; return *this; }

    std::string operation;
    // Only calls naming this path (as the model resolves it; the program for RunHiddenCommand,
    // the key for the registry, the open entry for a handle). Empty: any call.
    std::u16string path;
    int call = 0;                                 // only the nth matching call, from 1; 0: every one
    std::uint32_t error = kErrorAccessDenied;     // what GetLastError answers afterwards
    std::size_t bytes = 0;                        // writes: how many bytes went through before it
    int seen = 0;                                 // matching calls so far, counted by the model
};

// One event as a decoder shows it: each field's value as text, numbers in decimal, Hex fields
// as 0x and eight digits, a path as its Win32 form.
struct RecordedEvent {
    std::string name;
    platform::TraceLevel level = platform::TraceLevel::Information;
    std::uint64_t keywords = 0;
    std::vector<std::pair<std::string, std::string>> fields;
    // The field's value; nullopt when the event has no such field.
    std::optional<std::string> Field(std::string_view field) const;
    // "Error CallFailed Call=OpenChild Error=5 ...": one line.
    std::string Text() const;
};

struct RegistryValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> bytes;
};

class FakeWindows final : public platform::Platform {
public:
    FakeWindows();

    // --- set-up and inspection ---
    std::u16string currentDirectory = u"C:\\work";
    std::map<std::u16string, Entry, CaseInsensitiveLess> entries;   // keyed by full normalised path
    void AddDirectory(const std::u16string& path, std::uint32_t attributes = platform::kAttributeDirectory);
    void AddFile(const std::u16string& path, const std::string& content = {});
    // A link is made by a standard user unless `owner` says otherwise: any user can make a junction.
    void AddLink(const std::u16string& path, std::uint32_t tag, const std::u16string& target, bool toDirectory,
                 std::u16string_view owner = kUserSid);
    // A second name for the file at `existing` (CreateHardLinkW): one object, its link count on
    // every name.
    void AddHardLink(const std::u16string& existing, const std::u16string& path);
    Entry* Find(const std::u16string& path);   // the entry itself, links above followed
    bool Exists(const std::u16string& path) { return Find(path) != nullptr; }
    // The full path the model resolves `path` to (links above the last component followed).
    std::optional<std::u16string> Resolve(const std::u16string& path) const;

    std::set<std::u16string, CaseInsensitiveLess> failCreate;    // creating a directory or file fails here
    bool callerIsAdministrator = true;   // otherwise files carrying a descriptor refuse writing
    Creator creator;   // the owner and group of the caller's token, for CREATOR OWNER and CREATOR GROUP
    // Runs at the start of every call into the model, named as in `calls`: lets a test change
    // entries between two calls of the code under test, as another user would (ReplaceAsUser).
    std::function<void(FakeWindows&, const std::string& operation, const std::u16string& path)> beforeCall;
    // "<operation> <path>" for every file-system call, in order; handle operations name the
    // entry the handle was opened on.
    std::vector<std::string> calls;
    std::uint32_t lastError = 0;   // GetLastError after the last failed call that sets it
    std::vector<std::u16string> madeDirectories;
    // Another user, acting by path: whatever stands at `path` is renamed out of the way (with
    // what is inside it, handles following their objects) and `entry` put in its place, or
    // `entry` is put where nothing stood. The rename opens the entry for DELETE: it fails with a
    // sharing violation only while an open that takes part in the share-access check (data,
    // traverse or delete access) holds it without FILE_SHARE_DELETE. A rename of a folder with
    // open handles below it is not refused: NTFS does, but no document says so.
    bool ReplaceAsUser(const std::u16string& path, Entry entry);
    std::u16string movedAside;   // where the last ReplaceAsUser moved what stood there; empty: nothing
    // Another user turns the entry at `path` into a reparse point with `tag` and `target`
    // (FSCTL_SET_REPARSE_POINT, which needs only write-data or write-attributes access, MS-FSA
    // 2.1.5.10.37, and which no sharing stops); a directory must be empty for it, and a mount
    // point goes on a directory alone.
    bool SetReparseAsUser(const std::u16string& path, std::uint32_t tag, const std::u16string& target);
    // Volumes by their root: "C:" or "\\server\share". A drive not listed is a local disk, a share
    // not listed is remote (FILE_DEVICE_NETWORK_FILE_SYSTEM, FILE_REMOTE_DEVICE). Handles on a
    // remote volume reach what their names reach now: each open is resolved by name again.
    std::map<std::u16string, platform::VolumeInfo, CaseInsensitiveLess> volumes;
    // What QueryDosDeviceW answers for an MS-DOS device name ("S:"), and so where \??\S:\ leads:
    // "\??\C:\work" (subst) opens that folder, a path below a redirector
    // ("\Device\LanmanRedirector\;Z:0\server\share", a mapped drive) that share. A drive letter not
    // listed is a volume of its own, "\Device\HarddiskVolume" and its letter's place in the alphabet.
    std::map<std::u16string, std::u16string, CaseInsensitiveLess> dosDevices;
    // What an open made relative to a held folder that has become a junction does with
    // OBJ_DONT_REPARSE: no document says (the kit's junction-after-check prints it on a machine).
    // Either it is refused (STATUS_REPARSE_POINT_ENCOUNTERED) or it reaches the name inside the
    // junction's own folder, nothing led away. Without the flag the model follows the junction,
    // the reading no protection may rely on.
    enum class HeldJunction { Refused, InTheFolderItself };
    HeldJunction heldJunction = HeldJunction::Refused;
    // Whether a handle is open on the entry at this key.
    bool IsHeld(const std::u16string& key) const;
    std::size_t OpenHandleCount() const { return handles_.size(); }
    std::size_t LiveDescriptorCount() const { return descriptors_.size(); }
    std::vector<Fault> faults;
    std::vector<std::string> injected;   // "<operation> <path>" for every failure a fault caused

    // Processes: every command line is recorded, and the program it was started as next to
    // it; `onCommand` decides whether it started and plays its effect. Without one, every
    // command starts and does nothing.
    std::vector<std::string> commands;
    std::vector<std::string> applications;
    std::uint32_t childExitCode = 0;   // what every started process ends with
    // What GetSystemDirectoryW answers, in the ANSI code page; nullopt: it cannot be read.
    std::optional<std::string> systemFolder = "C:\\Windows\\system32";
    std::function<bool(FakeWindows&, const std::string&)> onCommand;

    std::string tempFolder = "C:\\Temp\\";
    std::optional<std::uint32_t> tempFolderResult;   // overrides the length answered
    std::vector<int> randomNumbers;                   // rand() after each seed; then counts up
    int seeds = 0;
    platform::AnsiCodePage ansiCodePage;
    std::string TempFileContent(const std::string& ansiPath);

    std::u16string programPath = u"C:\\bench\\ppkg-launcher.exe";

    std::map<std::u16string, std::map<std::u16string, RegistryValue, CaseInsensitiveLess>, CaseInsensitiveLess> registry;
    std::optional<std::u16string> RegistryString(const std::u16string& key, const std::u16string& value) const;

    // Every event the launcher wrote, as a session listening to everything would get it.
    std::vector<RecordedEvent> events;
    std::string EventLog() const;   // one line per event

    // --- platform::Platform ---
    std::optional<std::vector<std::u16string>> SplitCommandLine(const std::u16string& commandLine) override;
    std::optional<std::string> SystemFolder() override;
    platform::ChildProcess RunHiddenCommand(const std::string& application, const std::string& commandLine) override;
    std::uint32_t TempFolder(char* buffer, std::uint32_t size) override;
    void SeedRandomFromClock() override;
    int NextRandom() override;
    platform::AnsiCodePage QueryAnsiCodePage() override { return ansiCodePage; }
    platform::ReserveResult ReserveFile(const std::string& path, std::string_view content) override;
    platform::ReadResult ReadWholeFile(const std::string& path, std::size_t maxBytes,
                                       platform::FileBytes& bytes) override;
    bool RemoveFile(const std::string& path) override;
    bool WriteRegistryString(const std::u16string& keyPath, const std::u16string& valueName,
                             const std::u16string& text) override;
    bool DeleteRegistryTree(const std::u16string& keyPath) override;
    platform::Descriptor BuildDescriptor(const std::u16string& sddl) override;
    void FreeDescriptor(platform::Descriptor descriptor) override;
    std::optional<std::u16string> CurrentDirectory() override;
    std::optional<std::u16string> DriveDirectory(char16_t drive) override;
    std::optional<std::u16string> DeviceLink(const std::u16string& name) override;
    platform::FileHandle OpenRoot(const std::u16string& root, const platform::OpenRequest& request) override;
    platform::FileHandle OpenChild(platform::FileHandle parent, const std::u16string& name,
                                   const platform::OpenRequest& request) override;
    platform::FileHandle CreateChildDirectory(platform::FileHandle parent, const std::u16string& name,
                                              const platform::OpenRequest& request,
                                              const platform::SecurityAttributes& security) override;
    platform::FileHandle CreateChildFile(platform::FileHandle parent, const std::u16string& name,
                                         const platform::OpenRequest& request,
                                         const platform::SecurityAttributes& security) override;
    std::optional<platform::HandleInfo> QueryHandle(platform::FileHandle file) override;
    std::optional<std::u16string> QueryName(platform::FileHandle entry) override;
    std::optional<platform::VolumeInfo> QueryVolume(platform::FileHandle entry) override;
    platform::Descriptor ReadAccessList(platform::FileHandle entry) override;
    bool WriteAccessList(platform::FileHandle entry, platform::Descriptor descriptor) override;
    bool MarkForDeletion(platform::FileHandle entry) override;
    bool WriteBytes(platform::FileHandle file, const void* data, std::uint32_t size) override;
    bool FlushFile(platform::FileHandle file) override;
    bool RenameInto(platform::FileHandle file, platform::FileHandle folder, const std::u16string& name) override;
    void CloseFile(platform::FileHandle file) override;
    std::uint32_t LastError() override { return lastError; }
    void Trace(const platform::TraceEvent& event) override;

    // The SDDL text a descriptor of this model was built from.
    static std::u16string DescriptorText(platform::Descriptor descriptor);

private:
    struct OpenFile {
        std::u16string key;
        std::uint64_t id = 0;
        std::uint32_t access = 0;
        std::uint32_t share = 0;
        std::size_t position = 0;
    };
    void Note(const std::string& operation, const std::u16string& path);
    // The fault that makes this call fail, if any; it sets lastError and is logged in `injected`.
    const Fault* Injected(const std::string& operation, const std::u16string& path);
    bool SamePath(const std::u16string& a, const std::u16string& b) const;
    std::u16string OpenKey(platform::FileHandle file) const;   // the entry a handle was opened on
    void NoteHandle(const std::string& operation, platform::FileHandle file);   // logs the open entry
    // Splits a full path into its root ("C:" or "\\server\share") and components, or nullopt
    // for a name Windows refuses.
    std::optional<std::u16string> Normalise(const std::u16string& path) const;
    std::optional<std::u16string> ParentOf(const std::u16string& key) const;
    // The entry a handle was opened on, while it is still that object under that name.
    Entry* Live(platform::FileHandle file);
    // The key of `name` inside the directory a relative call starts from; nullopt (with
    // lastError set) when the handle is no live directory, the name is no single valid name, or
    // the directory is a link the request may not be reparsed through (see heldJunction).
    std::optional<std::u16string> ChildKey(platform::FileHandle parent, const std::u16string& name,
                                           const platform::OpenRequest& request);
    // The same for a create, logged and checked: nullopt when anything stands at the name or the
    // folder takes no entries.
    std::optional<std::u16string> NewChildKey(platform::FileHandle parent, const std::u16string& name,
                                              const platform::OpenRequest& request, const char* operation);
    platform::FileHandle NewHandle(const std::u16string& key, Entry& entry, const platform::OpenRequest& request);
    bool SharingViolation(std::uint64_t id, const platform::OpenRequest& request) const;
    static std::u16string RootOf(const std::u16string& key);
    platform::VolumeInfo VolumeOf(const std::u16string& key) const;
    bool ParentIsDirectory(const std::u16string& key);
    // A new descriptor holding `sddl`, handed out as BuildDescriptor hands them out.
    platform::Descriptor NewDescriptor(const std::u16string& sddl);
    // The name `key` goes; the file's other names count one link fewer.
    void RemoveName(const std::u16string& key);
    bool HasChildren(const std::u16string& key) const;
    // The list a file or directory created at `key` gets: the descriptor's own entries and,
    // unless it is protected, what the parent's list passes on.
    std::u16string NewObjectList(const std::u16string& key, platform::Descriptor descriptor, bool isContainer) const;
    bool Fail(std::uint32_t error) {
        lastError = error;
        return false;
    }
    platform::FileHandle FailOpen(std::uint32_t error) {
        lastError = error;
        return platform::kNoFile;
    }

    std::map<platform::FileHandle, OpenFile> handles_;
    platform::FileHandle nextHandle_ = 0x100;
    std::uint64_t nextId_ = 1;
    int moved_ = 0;
    std::set<std::u16string*> descriptors_;
    std::size_t randomIndex_ = 0;
    int counter_ = 0;
    std::uint32_t nextProcessId_ = 4100;
};

// The reparse data FSCTL_GET_REPARSE_POINT returns for a link of `tag` to `target` (a Win32
// path, a relative one, or an NT path starting \??\); any other tag gets opaque data of its own.
std::vector<std::uint8_t> ReparseBuffer(std::uint32_t tag, const std::u16string& target);

std::u16string Widen(const std::string& bytes);    // byte by byte, as Latin-1
std::string Narrow(const std::u16string& text);    // units below 256 only; others become '?'

}  // namespace model
