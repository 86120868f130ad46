#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/model/Sddl.h"

// An in-memory model of the Windows behaviours the launcher relies on: a file system with
// attribute values, reparse points and their tags, links followed above the last component,
// handles with access rights; processes as recorded command lines; the registry; failures
// on demand. Tests set it up through its public members and helpers.
namespace model {

// Win32 error codes the model answers with.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorBadDevType = 66;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorBadPathname = 161;
inline constexpr std::uint32_t kErrorDirNotEmpty = 145;
inline constexpr std::uint32_t kErrorDirectory = 267;   // ERROR_DIRECTORY: not a directory
inline constexpr std::uint32_t kErrorAlreadyExists = 183;

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
    std::u16string sddl;                            // its access list as SDDL text; empty: none known
    std::uint32_t links = 1;                        // hard links to the same file
    bool IsDirectory() const { return (attributes & platform::kAttributeDirectory) != 0; }
    bool IsReparse() const { return reparseTag != 0 || reparseBitWithoutTag; }
    bool reparseBitWithoutTag = false;              // what Wine shows: the bit, tag 0
    std::uint32_t Attributes() const {
        return IsReparse() ? (attributes | platform::kAttributeReparsePoint) : attributes;
    }
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
    void AddLink(const std::u16string& path, std::uint32_t tag, const std::u16string& target, bool toDirectory);
    Entry* Find(const std::u16string& path);   // the entry itself, links above followed
    bool Exists(const std::u16string& path) { return Find(path) != nullptr; }
    // The full path the model resolves `path` to (links above the last component followed).
    std::optional<std::u16string> Resolve(const std::u16string& path) const;

    std::set<std::u16string, CaseInsensitiveLess> failCreate;    // MakeDirectory / CreateNewFile fail here
    std::set<std::u16string, CaseInsensitiveLess> badNetPaths;   // queries fail with ERROR_BAD_NETPATH
    // What querying a bare server name ("\\server") answers. ERROR_BAD_NETPATH is documented
    // for a server that cannot be found; for one that can, the code is not documented, and Wine
    // answers ERROR_BAD_DEV_TYPE. Creating a directory there always fails.
    std::uint32_t bareServerError = platform::kErrorBadNetPath;
    std::set<std::u16string, CaseInsensitiveLess> refusedSearches;   // FindEntry fails here
    bool callerIsAdministrator = true;   // otherwise files carrying a descriptor refuse writing
    Creator creator;   // the owner and group of the caller's token, for CREATOR OWNER and CREATOR GROUP
    // Runs at the start of every call into the model, named as in `calls`: lets a test change
    // entries between two calls of the code under test.
    std::function<void(FakeWindows&, const std::string& operation, const std::u16string& path)> beforeCall;
    // "<operation> <path>" for every file-system call, in order; handle operations name the
    // entry the handle was opened on.
    std::vector<std::string> calls;
    std::uint32_t lastError = 0;   // GetLastError after the last failed call that sets it
    std::vector<std::u16string> madeDirectories;
    std::size_t OpenHandleCount() const { return handles_.size(); }
    std::size_t LiveDescriptorCount() const { return descriptors_.size(); }
    bool descriptorFails = false;
    bool writeFails = false;   // WriteBytes writes nothing and fails

    // Processes: every command line is recorded, and the program it was started as next to
    // it; `onCommand` decides whether it started and plays its effect. Without one, every
    // command starts and does nothing.
    std::vector<std::string> commands;
    std::vector<std::string> applications;
    // What GetSystemDirectoryW answers, in the ANSI code page; nullopt: it cannot be read.
    std::optional<std::string> systemFolder = "C:\\Windows\\system32";
    std::function<bool(FakeWindows&, const std::string&)> onCommand;

    std::string tempFolder = "C:\\Temp\\";
    std::optional<std::uint32_t> tempFolderResult;   // overrides the length answered
    std::vector<int> randomNumbers;                   // rand() after each seed; then counts up
    int seeds = 0;
    bool reserveFails = false;
    platform::AnsiCodePage ansiCodePage;
    std::string TempFileContent(const std::string& ansiPath);

    std::u16string programPath = u"C:\\bench\\ppkg-launcher.exe";
    bool splitFails = false;

    std::map<std::u16string, std::map<std::u16string, RegistryValue, CaseInsensitiveLess>, CaseInsensitiveLess> registry;
    bool registryWritable = true;
    std::optional<std::u16string> RegistryString(const std::u16string& key, const std::u16string& value) const;

    // --- platform::Platform ---
    std::optional<std::vector<std::u16string>> SplitCommandLine(const std::u16string& commandLine) override;
    std::optional<std::string> SystemFolder() override { return systemFolder; }
    bool RunHiddenCommand(const std::string& application, const std::string& commandLine) override;
    std::uint32_t TempFolder(char* buffer, std::uint32_t size) override;
    void SeedRandomFromClock() override;
    int NextRandom() override;
    platform::AnsiCodePage QueryAnsiCodePage() override { return ansiCodePage; }
    platform::ReserveResult ReserveFile(const std::string& path, std::string_view content) override;
    platform::ReadResult ReadWholeFile(const std::string& path, std::size_t maxBytes,
                                       std::vector<std::uint8_t>& bytes) override;
    bool RemoveFile(const std::string& path) override;
    bool WriteRegistryString(const std::u16string& keyPath, const std::u16string& valueName,
                             const std::u16string& text) override;
    void DeleteRegistryTree(const std::u16string& keyPath) override;
    platform::Descriptor BuildDescriptor(const std::u16string& sddl) override;
    void FreeDescriptor(platform::Descriptor descriptor) override;
    platform::AttributeQuery QueryAttributes(const std::u16string& path) override;
    std::optional<platform::FindRecord> FindEntry(const std::u16string& path) override;
    bool CreateNewFile(const std::u16string& path, const platform::SecurityAttributes& security) override;
    bool MakeDirectory(const std::u16string& path, const platform::SecurityAttributes& security) override;
    bool RemoveEmptyDirectory(const std::u16string& path) override;
    platform::FileHandle OpenExisting(const std::u16string& path, std::uint32_t access,
                                      const platform::SecurityAttributes& security) override;
    std::optional<platform::HandleInfo> QueryHandle(platform::FileHandle file) override;
    bool WriteBytes(platform::FileHandle file, const void* data, std::uint32_t size) override;
    bool EndFileHere(platform::FileHandle file) override;
    void CloseFile(platform::FileHandle file) override;

    // The SDDL text a descriptor of this model was built from.
    static std::u16string DescriptorText(platform::Descriptor descriptor);

private:
    struct OpenFile {
        std::u16string key;
        std::uint32_t access = 0;
        std::size_t position = 0;
    };
    void Note(const std::string& operation, const std::u16string& path);
    void NoteHandle(const std::string& operation, platform::FileHandle file);   // logs the open entry
    // Splits a full path into its root ("C:" or "\\server\share") and components, or nullopt
    // for a name Windows refuses.
    std::optional<std::u16string> Normalise(const std::u16string& path) const;
    std::optional<std::u16string> ParentOf(const std::u16string& key) const;
    bool ParentIsDirectory(const std::u16string& key);
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
    Entry* OpenEntry(platform::FileHandle file);

    std::map<platform::FileHandle, OpenFile> handles_;
    platform::FileHandle nextHandle_ = 0x100;
    std::set<std::u16string*> descriptors_;
    std::size_t randomIndex_ = 0;
    int counter_ = 0;
};

std::u16string Widen(const std::string& bytes);    // byte by byte, as Latin-1
std::string Narrow(const std::u16string& text);    // units below 256 only; others become '?'

}  // namespace model
