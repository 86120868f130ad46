#include "tests/model/FakeWindows.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "platform/Tracing.h"

namespace model {
namespace {

char16_t Fold(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool StartsWithFolded(const std::u16string& text, const std::u16string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (Fold(text[i]) != Fold(prefix[i])) return false;
    }
    return true;
}

// Decoders know a TraceLogging event by its name, so a name goes out at one level only. The
// names seen in this process are kept, and one that comes at a second level stops the process:
// a test or fuzz run that reaches both variants of a step shows the fault, wherever it is.
void CheckOneLevelPerName(const char* name, platform::TraceLevel level) {
    static std::map<std::string, platform::TraceLevel> levels;
    const auto [known, added] = levels.emplace(name, level);
    if (added || known->second == level) return;
    const std::string message = "trace event " + known->first + " went out at level " +
                                std::to_string(static_cast<int>(known->second)) + " and at level " +
                                std::to_string(static_cast<int>(level)) + ": one name, one level\n";
    (void)std::fputs(message.c_str(), stderr);
    std::abort();
}

bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

std::vector<std::u16string> SplitComponents(const std::u16string& text) {
    std::vector<std::u16string> parts;
    std::u16string current;
    for (char16_t c : text) {
        if (c == u'\\') {
            if (!current.empty()) parts.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

std::u16string Join(const std::u16string& root, const std::vector<std::u16string>& parts) {
    std::u16string out = root;
    if (parts.empty()) return out + u"\\";
    for (const std::u16string& part : parts) out += u"\\" + part;
    return out;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// CommandLineToArgvW's rules. The first argument is read as a program name: after a leading
// quote it runs to the next quote, whatever follows; otherwise to the first blank, any quote
// in it kept as it is. Later arguments: 2n backslashes before a quote give n and the quote
// counts, 2n+1 give n and a literal quote. Counted quotes come in runs read in threes with the
// one that opened the quoting: each third is a literal quote, and a run ending on its second
// closes the quoting.
std::vector<std::u16string> SplitLikeWindows(const std::u16string& line) {
    std::vector<std::u16string> args;
    std::size_t i = 0;
    std::u16string first;
    if (!line.empty() && line[0] == u'"') {
        for (i = 1; i < line.size() && line[i] != u'"'; ++i) first.push_back(line[i]);
        if (i < line.size()) ++i;
    } else {
        for (; i < line.size() && !IsBlank(line[i]); ++i) first.push_back(line[i]);
    }
    args.push_back(first);
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) return args;

    std::u16string arg;
    int quotes = 0;   // 0 outside quotes; 1 or 2 quotes of the current run counted
    std::size_t backslashes = 0;
    while (i < line.size()) {
        const char16_t c = line[i];
        if (IsBlank(c) && quotes == 0) {
            args.push_back(arg);
            arg.clear();
            backslashes = 0;
            while (i < line.size() && IsBlank(line[i])) ++i;
            if (i >= line.size()) return args;
            continue;
        }
        ++i;
        if (c == u'\\') {
            arg.push_back(c);
            ++backslashes;
            continue;
        }
        if (c != u'"') {
            arg.push_back(c);
            backslashes = 0;
            continue;
        }
        arg.resize(arg.size() - backslashes / 2);
        if (backslashes % 2 == 0) {
            ++quotes;
        } else {
            arg.back() = u'"';   // the odd backslash escapes the quote
        }
        backslashes = 0;
        for (; i < line.size() && line[i] == u'"'; ++i) {
            if (++quotes == 3) {
                arg.push_back(u'"');
                quotes = 0;
            }
        }
        if (quotes == 2) quotes = 0;
    }
    args.push_back(arg);
    return args;
}

}  // namespace

bool CaseInsensitiveLess::operator()(const std::u16string& a, const std::u16string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char16_t x, char16_t y) { return Fold(x) < Fold(y); });
}

std::u16string Widen(const std::string& bytes) {
    std::u16string out(bytes.size(), u'\0');
    std::transform(bytes.begin(), bytes.end(), out.begin(), [](char c) { return static_cast<unsigned char>(c); });
    return out;
}

std::string Narrow(const std::u16string& text) {
    std::string out(text.size(), '\0');
    std::transform(text.begin(), text.end(), out.begin(),
                   [](char16_t c) { return c < 256 ? static_cast<char>(c) : '?'; });
    return out;
}

FakeWindows::FakeWindows() {
    AddDirectory(u"C:\\");
    AddDirectory(u"C:\\work");
    AddDirectory(u"C:\\Temp");
    // Windows-1252: the typographic single quotes it can encode.
    ansiCodePage.singleQuotes = {"\x91", "\x92", "\x82"};
}

void FakeWindows::Note(const std::string& operation, const std::u16string& path) {
    if (beforeCall) beforeCall(*this, operation, path);
    calls.push_back(operation + " " + Narrow(path));
}

bool FakeWindows::SamePath(const std::u16string& a, const std::u16string& b) const {
    const std::optional<std::u16string> left = Resolve(a);
    const std::optional<std::u16string> right = Resolve(b);
    const std::u16string& x = left && right ? *left : a;
    const std::u16string& y = left && right ? *right : b;
    return !CaseInsensitiveLess{}(x, y) && !CaseInsensitiveLess{}(y, x);
}

const Fault* FakeWindows::Injected(const std::string& operation, const std::u16string& path) {
    const Fault* hit = nullptr;
    for (Fault& fault : faults) {
        if (fault.operation != operation || (!fault.path.empty() && !SamePath(fault.path, path))) continue;
        ++fault.seen;
        if (hit == nullptr && (fault.call == 0 || fault.call == fault.seen)) hit = &fault;
    }
    if (hit != nullptr) {
        lastError = hit->error;
        injected.push_back(operation + " " + Narrow(path));
    }
    return hit;
}

std::u16string FakeWindows::OpenKey(platform::FileHandle file) const {
    const auto open = handles_.find(file);
    return open == handles_.end() ? std::u16string() : open->second.key;
}

std::optional<std::u16string> FakeWindows::Normalise(const std::u16string& input) const {
    if (input.empty()) return std::nullopt;
    std::u16string path = input;
    std::replace(path.begin(), path.end(), u'/', u'\\');
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char16_t c = path[i];
        if (c == u'*' || c == u'?' || c == u'<' || c == u'>' || c == u'|' || c == u'"' || c < 32) return std::nullopt;
        if (c == u':' && !(i == 1 && IsDriveLetter(path[0]))) return std::nullopt;
    }

    std::u16string root;
    std::vector<std::u16string> parts;
    if (path.rfind(u"\\\\", 0) == 0) {
        std::vector<std::u16string> unc = SplitComponents(path.substr(2));
        if (unc.empty()) return std::nullopt;
        root = u"\\\\" + unc[0];
        std::size_t from = 1;
        if (unc.size() > 1) {
            root += u"\\" + unc[1];
            from = 2;
        } else {
            return root;   // a bare server name
        }
        parts.assign(unc.begin() + static_cast<std::ptrdiff_t>(from), unc.end());
    } else if (path.size() >= 2 && path[1] == u':') {
        root = path.substr(0, 2);
        root[0] = Fold(root[0]);
        const std::u16string rest = path.substr(2);
        if (rest.empty() || rest[0] != u'\\') {
            // Drive-relative: against the current directory when it is on that drive.
            if (Fold(currentDirectory[0]) == root[0]) parts = SplitComponents(currentDirectory.substr(2));
        }
        const std::vector<std::u16string> more = SplitComponents(rest);
        parts.insert(parts.end(), more.begin(), more.end());
    } else if (!path.empty() && path[0] == u'\\') {
        root = currentDirectory.substr(0, 2);
        parts = SplitComponents(path);
    } else {
        root = currentDirectory.substr(0, 2);
        parts = SplitComponents(currentDirectory.substr(2));
        const std::vector<std::u16string> more = SplitComponents(path);
        parts.insert(parts.end(), more.begin(), more.end());
    }

    std::vector<std::u16string> resolved;
    for (const std::u16string& part : parts) {
        if (part == u".") continue;
        if (part == u"..") {
            if (!resolved.empty()) resolved.pop_back();
            continue;
        }
        resolved.push_back(part);
    }
    return Join(root, resolved);
}

std::optional<std::u16string> FakeWindows::Resolve(const std::u16string& path) const {
    std::optional<std::u16string> key = Normalise(path);
    if (!key) return std::nullopt;
    // Follow links above the last component, a bounded number of times.
    for (int depth = 0; depth < 16; ++depth) {
        bool followed = false;
        std::size_t rootEnd = 2;
        if (key->rfind(u"\\\\", 0) == 0) {
            const std::size_t server = key->find(u'\\', 2);
            if (server == std::u16string::npos) return key;
            rootEnd = key->find(u'\\', server + 1);
            if (rootEnd == std::u16string::npos) return key;
        }
        std::size_t at = key->find(u'\\', rootEnd + 1);
        while (at != std::u16string::npos) {
            const auto found = entries.find(key->substr(0, at));
            if (found != entries.end() && !found->second.target.empty()) {
                std::optional<std::u16string> target = Normalise(found->second.target);
                if (!target) return std::nullopt;
                std::u16string rest = key->substr(at);
                if (target->back() == u'\\') target->pop_back();
                key = *target + rest;
                followed = true;
                break;
            }
            at = key->find(u'\\', at + 1);
        }
        if (!followed) return key;
    }
    return std::nullopt;
}

Entry* FakeWindows::Find(const std::u16string& path) {
    const std::optional<std::u16string> key = Resolve(path);
    if (!key) return nullptr;
    const auto found = entries.find(*key);
    return found == entries.end() ? nullptr : &found->second;
}

std::optional<std::u16string> FakeWindows::ParentOf(const std::u16string& key) const {
    const std::size_t last = key.rfind(u'\\');
    if (last == std::u16string::npos || last + 1 == key.size()) return std::nullopt;   // a root
    std::u16string parent = key.substr(0, last);
    if (parent.size() == 2 && parent[1] == u':') parent += u"\\";
    return parent;
}

std::u16string FakeWindows::NewObjectList(const std::u16string& key, platform::Descriptor descriptor,
                                          bool isContainer) const {
    std::optional<Dacl> given;
    if (descriptor != nullptr) {
        given = ParseDacl(DescriptorText(descriptor));
        if (!given) return DescriptorText(descriptor);
    }
    std::optional<Dacl> parentList;
    if (const std::optional<std::u16string> parent = ParentOf(key)) {
        const auto found = entries.find(*parent);
        if (found != entries.end() && !found->second.sddl.empty()) parentList = ParseDacl(found->second.sddl);
    }
    const std::optional<Dacl> list = DaclForNewObject(given, parentList, isContainer, creator);
    return list ? FormatDacl(*list) : std::u16string();
}

bool FakeWindows::HasChildren(const std::u16string& key) const {
    const std::u16string below = key.back() == u'\\' ? key : key + u"\\";
    // Everything inside sorts right after the prefix itself.
    const auto next = entries.lower_bound(below);
    return next != entries.end() && StartsWithFolded(next->first, below);
}

bool FakeWindows::ParentIsDirectory(const std::u16string& key) {
    const std::optional<std::u16string> parent = ParentOf(key);
    if (!parent) return false;
    Entry* entry = Find(*parent);
    if (entry != nullptr && !entry->target.empty()) entry = Find(entry->target);
    return entry != nullptr && entry->IsDirectory();
}

void FakeWindows::AddDirectory(const std::u16string& path, std::uint32_t attributes) {
    Entry entry;
    entry.attributes = attributes;
    entries[*Resolve(path)] = entry;
}

void FakeWindows::AddFile(const std::u16string& path, const std::string& content) {
    Entry entry;
    entry.content = content;
    entries[*Resolve(path)] = entry;
}

void FakeWindows::AddLink(const std::u16string& path, std::uint32_t tag, const std::u16string& target,
                          bool toDirectory, std::u16string_view owner) {
    Entry entry;
    entry.attributes = toDirectory ? platform::kAttributeDirectory : kAttributeArchive;
    entry.reparseTag = tag;
    entry.reparseBitWithoutTag = tag == 0;
    entry.target = target;
    entry.owner = owner;
    entries[*Resolve(path)] = entry;
}

void FakeWindows::AddHardLink(const std::u16string& existing, const std::u16string& path) {
    Entry& file = entries[*Resolve(existing)];
    if (file.id == 0) file.id = nextId_++;
    ++file.links;
    Entry name = file;
    for (auto& [key, entry] : entries) {
        if (entry.id == file.id) entry.links = file.links;
    }
    entries[*Resolve(path)] = name;
}

std::string FakeWindows::TempFileContent(const std::string& ansiPath) {
    Entry* entry = Find(Widen(ansiPath));
    return entry == nullptr ? std::string() : entry->content;
}

// Key, then value name, as the registry calls take them.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::optional<std::u16string> FakeWindows::RegistryString(const std::u16string& key, const std::u16string& value) const {
    const auto k = registry.find(key);
    if (k == registry.end()) return std::nullopt;
    const auto v = k->second.find(value);
    if (v == k->second.end() || v->second.bytes.size() < 2) return std::nullopt;
    std::u16string text;
    for (std::size_t i = 0; i + 1 < v->second.bytes.size(); i += 2) {
        text.push_back(static_cast<char16_t>(v->second.bytes[i] | (v->second.bytes[i + 1] << 8)));
    }
    if (!text.empty() && text.back() == u'\0') text.pop_back();
    return text;
}

// --- command line and processes ---

std::optional<std::vector<std::u16string>> FakeWindows::SplitCommandLine(const std::u16string& commandLine) {
    if (Injected("SplitCommandLine", {}) != nullptr) return std::nullopt;
    if (commandLine.empty()) return std::vector<std::u16string>{programPath};
    return SplitLikeWindows(commandLine);
}

std::optional<std::string> FakeWindows::SystemFolder() {
    if (Injected("SystemFolder", {}) != nullptr) return std::nullopt;
    // A folder the code page cannot hold is refused with the conversion's error.
    if (!systemFolder) lastError = kErrorNoUnicodeTranslation;
    return systemFolder;
}

platform::ChildProcess FakeWindows::RunHiddenCommand(const std::string& application, const std::string& commandLine) {
    applications.push_back(application);
    commands.push_back(commandLine);
    platform::ChildProcess child;
    // CreateProcessA failed: nothing ran, no handle was given.
    if (Injected("RunHiddenCommand", Widen(application)) != nullptr) return child;
    // A program that is not there fails the start as a missing file does.
    if (onCommand && !onCommand(*this, commandLine)) {
        lastError = kErrorFileNotFound;
        return child;
    }
    child.processId = nextProcessId_;
    nextProcessId_ += 4;
    if (Injected("RunHiddenCommand:WaitForSingleObject", Widen(application)) != nullptr) {
        child.end = platform::ChildEnd::WaitFailed;
        child.waitError = lastError;
        child.exitCode = 0x103;   // STILL_ACTIVE, as far as anyone could tell
        return child;
    }
    child.end = platform::ChildEnd::Exited;
    child.exitCode = childExitCode;
    return child;
}

// --- temp report ---

std::uint32_t FakeWindows::TempFolder(char* buffer, std::uint32_t size) {
    if (Injected("TempFolder", {}) != nullptr) return 0;
    if (tempFolderResult) return *tempFolderResult;
    if (tempFolder.size() >= size) return static_cast<std::uint32_t>(tempFolder.size() + 1);
    std::memcpy(buffer, tempFolder.c_str(), tempFolder.size() + 1);
    return static_cast<std::uint32_t>(tempFolder.size());
}

void FakeWindows::SeedRandomFromClock() {
    ++seeds;
    randomIndex_ = 0;   // within one second every seed starts the same sequence
    counter_ = 0;
}

int FakeWindows::NextRandom() {
    if (randomIndex_ < randomNumbers.size()) return randomNumbers[randomIndex_++];
    return 0x1a2b + counter_++;
}

platform::ReserveResult FakeWindows::ReserveFile(const std::string& path, std::string_view content) {
    const std::u16string wide = Widen(path);
    Note("ReserveFile", wide);
    const std::optional<std::u16string> key = Resolve(wide);
    // A refused create-new reads as a name already taken when Windows answers that way.
    if (const Fault* fault = Injected("ReserveFile:CreateFileA", wide)) {
        const bool taken = fault->error == kErrorFileExists || fault->error == kErrorAlreadyExists ||
                           fault->error == kErrorAccessDenied;
        return taken ? platform::ReserveResult::AlreadyExists : platform::ReserveResult::Failed;
    }
    if (!key) {
        lastError = kErrorInvalidName;
        return platform::ReserveResult::Failed;
    }
    if (entries.count(*key) != 0) {
        lastError = kErrorFileExists;
        return platform::ReserveResult::AlreadyExists;
    }
    if (!ParentIsDirectory(*key)) {
        lastError = kErrorPathNotFound;
        return platform::ReserveResult::Failed;
    }
    Entry entry;
    entry.content = std::string(content);
    if (const Fault* fault = Injected("ReserveFile:WriteFile", wide)) {
        // What went through before the failure stays until the file is deleted again; the
        // write's error is the one answered, whatever the delete did.
        const std::uint32_t writeError = lastError;
        entry.content.resize(std::min(fault->bytes, content.size()));
        entries[*key] = entry;
        if (Injected("ReserveFile:DeleteFileA", wide) == nullptr) entries.erase(*key);
        lastError = writeError;
        return platform::ReserveResult::Failed;
    }
    entries[*key] = entry;
    return platform::ReserveResult::Created;
}

// Each step of the shipped read in its order: open, handle query, size, buffer, reads.
platform::ReadResult FakeWindows::ReadWholeFile(const std::string& path, std::size_t maxBytes,
                                                platform::FileBytes& bytes) {
    const std::u16string wide = Widen(path);
    Note("ReadWholeFile", wide);
    bytes = platform::FileBytes{};
    if (Injected("ReadWholeFile:CreateFileA", wide) != nullptr) return platform::ReadResult::CannotOpen;
    const Entry* entry = Find(wide);
    if (entry == nullptr || (entry->IsDirectory() && !entry->IsReparse())) {
        lastError = entry == nullptr ? kErrorFileNotFound : kErrorAccessDenied;
        return platform::ReadResult::CannotOpen;
    }
    if (Injected("ReadWholeFile:GetFileInformationByHandle", wide) != nullptr) return platform::ReadResult::CannotOpen;
    if (entry->IsReparse()) return platform::ReadResult::NotAPlainFile;
    if (Injected("ReadWholeFile:GetFileSize", wide) != nullptr) return platform::ReadResult::ReadFailed;
    if (entry->content.size() > maxBytes) return platform::ReadResult::TooLarge;
    if (Injected("ReadWholeFile:allocation", wide) != nullptr) return platform::ReadResult::NoMemory;
    // A read that fails, or ends before the size the file had, after any number of bytes.
    if (Injected("ReadWholeFile:ReadFile", wide) != nullptr) return platform::ReadResult::ReadFailed;
    platform::FileBytes read;
    if (!read.Allocate(entry->content.size())) return platform::ReadResult::NoMemory;
    std::memcpy(read.data.get(), entry->content.data(), entry->content.size());
    read.size = entry->content.size();
    bytes = std::move(read);
    return platform::ReadResult::Ok;
}

bool FakeWindows::RemoveFile(const std::string& path) {
    const std::u16string wide = Widen(path);
    Note("RemoveFile", wide);
    if (Injected("RemoveFile", wide) != nullptr) return false;
    const std::optional<std::u16string> key = Resolve(wide);
    if (!key) return Fail(kErrorInvalidName);
    const auto found = entries.find(*key);
    if (found == entries.end()) return Fail(kErrorFileNotFound);
    if (found->second.IsDirectory()) return Fail(kErrorAccessDenied);
    entries.erase(found);
    return true;
}

// --- registry ---

// The parameters are the interface's, in the registry calls' order.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool FakeWindows::WriteRegistryString(const std::u16string& keyPath, const std::u16string& valueName,
                                      const std::u16string& text) {
    if (Injected("WriteRegistryString:RegCreateKeyExW", keyPath) != nullptr) return false;
    // The key is there once created or opened, whatever then happens to the value.
    if (Injected("WriteRegistryString:RegSetValueExW", keyPath) != nullptr) {
        registry[keyPath];
        return false;
    }
    RegistryValue value;
    value.type = 1;   // REG_SZ
    for (char16_t unit : text) {
        value.bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        value.bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    value.bytes.push_back(0);
    value.bytes.push_back(0);
    registry[keyPath][valueName] = value;
    return true;
}

bool FakeWindows::DeleteRegistryTree(const std::u16string& keyPath) {
    if (Injected("DeleteRegistryTree", keyPath) != nullptr) return false;
    for (auto it = registry.begin(); it != registry.end();) {
        if (StartsWithFolded(it->first, keyPath) &&
            (it->first.size() == keyPath.size() || it->first[keyPath.size()] == u'\\')) {
            it = registry.erase(it);
        } else {
            ++it;
        }
    }
    return true;
}

// --- security ---

platform::Descriptor FakeWindows::BuildDescriptor(const std::u16string& sddl) {
    if (Injected("BuildDescriptor", {}) != nullptr) return nullptr;
    if (sddl.rfind(u"D:", 0) != 0) {
        lastError = kErrorInvalidParameter;
        return nullptr;
    }
    return NewDescriptor(sddl);
}

void FakeWindows::FreeDescriptor(platform::Descriptor descriptor) {
    auto* text = static_cast<std::u16string*>(descriptor);
    descriptors_.erase(text);
    delete text;   // NOLINT(cppcoreguidelines-owning-memory)
}

std::u16string FakeWindows::DescriptorText(platform::Descriptor descriptor) {
    return descriptor == nullptr ? std::u16string() : *static_cast<std::u16string*>(descriptor);
}

// --- report files, walked through handles ---

// Access rights a handle of the model carries, where the calls on it check them.
namespace {

constexpr std::uint32_t kDelete = platform::kAccessDelete;
constexpr std::uint32_t kReadControl = platform::kAccessReadControl;
constexpr std::uint32_t kReadAttributes = platform::kAccessReadAttributes;
constexpr std::uint32_t kGenericWrite = platform::kAccessGenericWrite;
constexpr std::uint32_t kReadOnly = 0x1;
constexpr std::uint32_t kReparseTagDirectoryBit = 0x10000000;

// The rights the share-access check looks at (MS-FSA 2.1.5.1.2.2), and the generic ones as the
// file system maps them (FILE_GENERIC_READ, _WRITE, _EXECUTE, FILE_ALL_ACCESS).
constexpr std::uint32_t kReadData = 0x1;
constexpr std::uint32_t kWriteData = 0x2;
constexpr std::uint32_t kAppendData = 0x4;
constexpr std::uint32_t kExecute = platform::kAccessTraverse;
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericExecute = 0x20000000;
constexpr std::uint32_t kGenericRead = 0x80000000;
constexpr std::uint32_t kSharingChecked = kReadData | kExecute | kWriteData | kAppendData | kDelete;

std::uint32_t FileRights(std::uint32_t access) {
    if ((access & kGenericRead) != 0) access |= kReadData;
    if ((access & kGenericWrite) != 0) access |= kWriteData | kAppendData;
    if ((access & kGenericExecute) != 0) access |= kExecute;
    if ((access & kGenericAll) != 0) access |= kSharingChecked;
    return access;
}

bool Reads(std::uint32_t rights) { return (rights & (kReadData | kExecute)) != 0; }
bool Writes(std::uint32_t rights) { return (rights & (kWriteData | kAppendData)) != 0; }
bool Deletes(std::uint32_t rights) { return (rights & kDelete) != 0; }

// A reparse point that stands for another named entity: a link of any kind.
bool IsLink(const Entry& entry) { return (entry.reparseTag & platform::kReparseTagNameSurrogate) != 0; }

// One name Windows would take inside a directory: no separator, no wildcard or other refused
// character, no stream, and neither "." nor "..".
bool IsSingleName(const std::u16string& name) {
    if (name.empty() || name == u"." || name == u"..") return false;
    return std::none_of(name.begin(), name.end(), [](char16_t c) {
        return c < 32 || c == u'\\' || c == u'/' || c == u':' || c == u'*' || c == u'?' || c == u'<' || c == u'>' ||
               c == u'|' || c == u'"';
    });
}

void Put16(std::vector<std::uint8_t>& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

void PutText(std::vector<std::uint8_t>& out, const std::u16string& text) {
    for (const char16_t c : text) Put16(out, c);
}

}  // namespace

std::vector<std::uint8_t> ReparseBuffer(std::uint32_t tag, const std::u16string& target) {
    std::vector<std::uint8_t> out;
    const bool symlink = tag == platform::kReparseTagSymlink;
    if (!symlink && tag != platform::kReparseTagMountPoint) {
        // Another kind's data, which only its own filter reads.
        Put32(out, tag);
        Put16(out, 4);
        Put16(out, 0);
        Put32(out, 0x12345678);
        return out;
    }
    // Links are stored with an NT path; a symbolic link may hold a relative one instead.
    std::u16string substitute = target;
    bool relative = false;
    if (target.size() >= 3 && target[1] == u':' && target[2] == u'\\') {
        substitute = u"\\??\\" + target;
    } else if (target.rfind(u"\\\\", 0) == 0) {
        substitute = u"\\??\\UNC\\" + target.substr(2);
    } else if (target.rfind(u"\\??\\", 0) != 0) {
        relative = true;
    }
    const std::size_t substituteBytes = substitute.size() * 2;
    const std::size_t printBytes = target.size() * 2;
    // A mount point's names each end in a NUL its length leaves out; a link's follow each other.
    const std::size_t terminators = symlink ? 0 : 4;
    const std::size_t fields = symlink ? 12 : 8;
    Put32(out, tag);
    Put16(out, fields + substituteBytes + printBytes + terminators);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, substituteBytes);
    Put16(out, substituteBytes + terminators / 2);
    Put16(out, printBytes);
    if (symlink) Put32(out, relative ? 1u : 0u);
    PutText(out, substitute);
    if (!symlink) Put16(out, 0);
    PutText(out, target);
    if (!symlink) Put16(out, 0);
    return out;
}

bool FakeWindows::IsHeld(const std::u16string& key) const {
    return std::any_of(handles_.begin(), handles_.end(), [&](const auto& open) {
        return !CaseInsensitiveLess{}(open.second.key, key) && !CaseInsensitiveLess{}(key, open.second.key);
    });
}

// MS-FSA 2.1.5.1.2.2: only an open asking for read or write data, append, execute (traverse) or
// DELETE is checked, and only against the opens of the same object that hold one of those.
bool FakeWindows::SharingViolation(std::uint64_t id, const platform::OpenRequest& request) const {
    const std::uint32_t wanted = FileRights(request.access);
    const std::uint32_t share = request.share;
    if (id == 0 || (wanted & kSharingChecked) == 0) return false;
    return std::any_of(handles_.begin(), handles_.end(), [&](const auto& handle) {
        const OpenFile& open = handle.second;
        const std::uint32_t held = FileRights(open.access);
        if (open.id != id || (held & kSharingChecked) == 0) return false;
        return ((open.share & platform::kShareRead) == 0 && Reads(wanted)) ||
               ((open.share & platform::kShareWrite) == 0 && Writes(wanted)) ||
               ((open.share & platform::kShareDelete) == 0 && Deletes(wanted)) ||
               ((share & platform::kShareRead) == 0 && Reads(held)) ||
               ((share & platform::kShareWrite) == 0 && Writes(held)) ||
               ((share & platform::kShareDelete) == 0 && Deletes(held));
    });
}

namespace {
// `name` is `key` itself or lies inside it.
bool AtOrBelow(const std::u16string& name, const std::u16string& key) {
    const bool same = !CaseInsensitiveLess{}(name, key) && !CaseInsensitiveLess{}(key, name);
    return same || (name.size() > key.size() && name[key.size()] == u'\\' && StartsWithFolded(name, key));
}
}  // namespace

bool FakeWindows::ReplaceAsUser(const std::u16string& path, Entry entry) {
    movedAside.clear();
    const std::optional<std::u16string> key = Resolve(path);
    if (!key || !ParentOf(*key)) return Fail(kErrorInvalidName);
    const auto found = entries.find(*key);
    if (found != entries.end()) {
        // A rename opens the entry for DELETE, shared every way, as MoveFileEx does.
        constexpr platform::OpenRequest kRename{kDelete | platform::kAccessSynchronize,
                                                platform::kShareRead | platform::kShareWrite | platform::kShareDelete};
        if (SharingViolation(found->second.id, kRename)) {
            return Fail(kErrorSharingViolation);
        }
        // Renamed aside with everything inside it, as a rename moves a whole folder; a handle
        // stays with its object wherever it goes.
        const std::u16string aside = *key + u".moved" + Widen(std::to_string(++moved_));
        std::vector<std::pair<std::u16string, Entry>> moving;
        for (auto it = entries.begin(); it != entries.end();) {
            if (AtOrBelow(it->first, *key)) {
                moving.emplace_back(aside + it->first.substr(key->size()), it->second);
                it = entries.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& [name, moved] : moving) entries[name] = std::move(moved);
        for (auto& [handle, open] : handles_) {
            if (AtOrBelow(open.key, *key)) open.key = aside + open.key.substr(key->size());
        }
        movedAside = aside;
    } else if (!ParentIsDirectory(*key)) {
        return Fail(kErrorPathNotFound);
    }
    entry.id = nextId_++;
    entries[*key] = std::move(entry);
    return true;
}

// FSCTL_SET_REPARSE_POINT through an open for FILE_WRITE_ATTRIBUTES, which no sharing stops;
// refused on a directory that holds anything.
bool FakeWindows::SetReparseAsUser(const std::u16string& path, std::uint32_t tag, const std::u16string& target) {
    const std::optional<std::u16string> key = Resolve(path);
    const auto found = key ? entries.find(*key) : entries.end();
    if (found == entries.end()) return Fail(kErrorFileNotFound);
    // A mount point goes only on a directory (STATUS_NOT_A_DIRECTORY otherwise).
    if (tag == platform::kReparseTagMountPoint && !found->second.IsDirectory()) return Fail(kErrorDirectory);
    if (found->second.IsDirectory() && (tag & kReparseTagDirectoryBit) == 0 && HasChildren(*key)) {
        return Fail(kErrorDirNotEmpty);
    }
    found->second.reparseTag = tag;
    found->second.target = target;
    return true;
}

Entry* FakeWindows::Live(platform::FileHandle file) {
    const auto open = handles_.find(file);
    if (open == handles_.end()) return nullptr;
    const auto found = entries.find(open->second.key);
    // Another object under the same name is not the one the handle was opened on.
    if (found == entries.end() || found->second.id != open->second.id) return nullptr;
    return &found->second;
}

platform::FileHandle FakeWindows::NewHandle(const std::u16string& key, Entry& entry, const platform::OpenRequest& request) {
    if (entry.id == 0) entry.id = nextId_++;
    const platform::FileHandle handle = nextHandle_++;
    handles_[handle] = OpenFile{key, entry.id, request.access, request.share, 0};
    return handle;
}

std::u16string FakeWindows::RootOf(const std::u16string& key) {
    if (key.rfind(u"\\\\", 0) != 0) return key.substr(0, 2);
    const std::size_t server = key.find(u'\\', 2);
    const std::size_t share = server == std::u16string::npos ? server : key.find(u'\\', server + 1);
    return key.substr(0, share);
}

platform::VolumeInfo FakeWindows::VolumeOf(const std::u16string& key) const {
    const auto found = volumes.find(RootOf(key));
    if (found != volumes.end()) return found->second;
    if (key.rfind(u"\\\\", 0) == 0) return {platform::kDeviceNetworkFileSystem, platform::kVolumeRemoteDevice};
    return {platform::kDeviceDisk, 0};
}

std::optional<std::u16string> FakeWindows::ChildKey(platform::FileHandle parent, const std::u16string& name,
                                                   const platform::OpenRequest& request) {
    const Entry* directory = Live(parent);
    if (directory == nullptr) {
        lastError = kErrorInvalidHandle;
        return std::nullopt;
    }
    if (!IsSingleName(name)) {
        lastError = kErrorInvalidName;
        return std::nullopt;
    }
    const std::u16string& base = handles_[parent].key;
    const std::u16string key = base.back() == u'\\' ? base + name : base + u"\\" + name;
    // On a share the client sends the name from the share's root and the server resolves it again,
    // following the links on the way (MS-SMB2 2.2.13, 3.3.5.9): the held handle pins nothing.
    if ((VolumeOf(base).characteristics & platform::kVolumeRemoteDevice) != 0) {
        std::optional<std::u16string> resolved = Resolve(key);
        if (!resolved) lastError = kErrorInvalidName;
        return resolved;
    }
    if (IsLink(*directory)) {
        // A folder held as itself that is a link (or became one since). Windows documents nothing
        // of an open relative to it: with OBJ_DONT_REPARSE the model answers the reading a test
        // chose; without it, the one no protection may rely on: the link is followed.
        if (request.dontReparse && heldJunction == HeldJunction::InTheFolderItself) return key;
        if (request.dontReparse) {
            lastError = platform::kErrorReparsePointEncountered;
            return std::nullopt;
        }
        std::optional<std::u16string> followed = Resolve(directory->target + u"\\" + name);
        if (!followed) lastError = kErrorInvalidName;
        return followed;
    }
    if (!directory->IsDirectory()) {
        lastError = kErrorInvalidHandle;
        return std::nullopt;
    }
    return key;
}

std::optional<std::u16string> FakeWindows::CurrentDirectory() {
    Note("CurrentDirectory", {});
    if (Injected("CurrentDirectory", {}) != nullptr) return std::nullopt;
    return currentDirectory;
}

// The drive's own current directory is the process's when it is on that drive; no other drive
// has one set in the model, so its root stands in.
std::optional<std::u16string> FakeWindows::DriveDirectory(char16_t drive) {
    const std::u16string letter(1, Fold(drive));
    Note("DriveDirectory", letter + u":");
    if (Injected("DriveDirectory", letter + u":") != nullptr) return std::nullopt;
    if (Fold(currentDirectory[0]) == letter[0]) return currentDirectory;
    return letter + u":\\";
}

// A drive letter not listed is a volume of its own; a volume name is known only when listed.
std::optional<std::u16string> FakeWindows::DeviceLink(const std::u16string& name) {
    Note("DeviceLink", name);
    if (Injected("DeviceLink", name) != nullptr) return std::nullopt;
    const auto found = dosDevices.find(name);
    if (found != dosDevices.end()) return found->second;
    if (name.size() == 2 && IsDriveLetter(name[0]) && name[1] == u':') {
        return u"\\Device\\HarddiskVolume" + Widen(std::to_string(Fold(name[0]) - u'A' + 1));
    }
    lastError = kErrorFileNotFound;
    return std::nullopt;
}

// \??\X:\ is the model's drive key "X:\", \??\UNC\server\share\ its "\\server\share\". The NT name
// \??\C: is itself a symbolic link of the object manager, so OBJ_DONT_REPARSE fails the open.
platform::FileHandle FakeWindows::OpenRoot(const std::u16string& root, const platform::OpenRequest& request) {
    Note("OpenRoot", root);
    if (Injected("OpenRoot", root) != nullptr) return platform::kNoFile;
    std::u16string key;
    if (root.size() == 7 && root.rfind(u"\\??\\", 0) == 0 && IsDriveLetter(root[4]) && root.substr(5) == u":\\") {
        key = std::u16string(1, Fold(root[4])) + u":\\";
        // The object manager follows the drive's link: a folder for a substituted drive, a share
        // for one mapped to it.
        const auto link = dosDevices.find(root.substr(4, 2));
        if (link != dosDevices.end()) {
            const std::u16string& target = link->second;
            const std::size_t share = target.find(u';');
            if (target.rfind(u"\\??\\", 0) == 0 && target.size() > 4) {
                key = Normalise(target.substr(4)).value_or(key);
            } else if (share != std::u16string::npos && target.find(u'\\', share) != std::u16string::npos) {
                key = u"\\" + target.substr(target.find(u'\\', share)) + u"\\";
            }
        }
    } else if (root.rfind(u"\\??\\UNC\\", 0) == 0 && root.back() == u'\\') {
        key = u"\\\\" + root.substr(8);
    } else {
        return FailOpen(kErrorPathNotFound);
    }
    if (request.dontReparse) return FailOpen(platform::kErrorReparsePointEncountered);
    const auto found = entries.find(key);
    if (found == entries.end() || !found->second.IsDirectory()) return FailOpen(kErrorPathNotFound);
    if (SharingViolation(found->second.id, request)) return FailOpen(kErrorSharingViolation);
    return NewHandle(key, found->second, request);
}

// FILE_OPEN_REPARSE_POINT: the entry itself, whatever it is; nothing is followed, nothing made.
platform::FileHandle FakeWindows::OpenChild(platform::FileHandle parent, const std::u16string& name,
                                            const platform::OpenRequest& request) {
    const std::optional<std::u16string> key = ChildKey(parent, name, request);
    Note("OpenChild", key.value_or(name));
    if (!key) return platform::kNoFile;
    if (Injected("OpenChild", *key) != nullptr) return platform::kNoFile;
    const auto found = entries.find(*key);
    if (found == entries.end()) return FailOpen(kErrorFileNotFound);
    if (found->second.deletePending) return FailOpen(kErrorDeletePending);
    if (SharingViolation(found->second.id, request)) return FailOpen(kErrorSharingViolation);
    return NewHandle(*key, found->second, request);
}

// FILE_CREATE fails on anything at the name, a link or a dangling link included. Nothing can
// be made in a directory about to go, nor in a reparse point whose tag lacks the directory bit
// (what Wine shows for a link, the bit without a tag, is a plain folder underneath).
namespace {
bool HoldsNoEntries(const Entry& directory) {
    return directory.deletePending ||
           (directory.reparseTag != 0 && (directory.reparseTag & kReparseTagDirectoryBit) == 0);
}
}  // namespace

std::optional<std::u16string> FakeWindows::NewChildKey(platform::FileHandle parent, const std::u16string& name,
                                                      const platform::OpenRequest& request, const char* operation) {
    std::optional<std::u16string> key = ChildKey(parent, name, request);
    Note(operation, key.value_or(name));
    if (!key || Injected(operation, *key) != nullptr) return std::nullopt;
    const std::optional<std::u16string> above = ParentOf(*key);
    const std::optional<std::u16string> aboveKey = above ? Normalise(*above) : std::nullopt;
    const auto folder = aboveKey ? entries.find(*aboveKey) : entries.end();
    // Under the reading that a held folder made a junction takes entries in itself, it does.
    const bool inJunctionItself = folder != entries.end() && IsLink(folder->second) && request.dontReparse &&
                                  heldJunction == HeldJunction::InTheFolderItself;
    if (folder == entries.end() || !folder->second.IsDirectory() ||
        (HoldsNoEntries(folder->second) && !inJunctionItself)) {
        lastError = kErrorAccessDenied;
        return std::nullopt;
    }
    // STATUS_OBJECT_NAME_COLLISION, as the native call answers it.
    if (entries.count(*key) != 0) {
        lastError = kErrorAlreadyExists;
        return std::nullopt;
    }
    if (failCreate.count(*key) != 0) {
        lastError = kErrorAccessDenied;
        return std::nullopt;
    }
    return key;
}

platform::FileHandle FakeWindows::CreateChildDirectory(platform::FileHandle parent, const std::u16string& name,
                                                       const platform::OpenRequest& request,
                                                       const platform::SecurityAttributes& security) {
    const std::optional<std::u16string> key = NewChildKey(parent, name, request, "CreateChildDirectory");
    if (!key) return platform::kNoFile;
    Entry entry;
    entry.attributes = platform::kAttributeDirectory;
    entry.sddl = NewObjectList(*key, security.descriptor, true);
    entry.owner = TrusteeSid(creator.owner);
    Entry& made = entries[*key] = entry;
    madeDirectories.push_back(*key);
    return NewHandle(*key, made, request);
}

// The creator's handle gets the access it asked for, whatever the new file's own list says.
platform::FileHandle FakeWindows::CreateChildFile(platform::FileHandle parent, const std::u16string& name,
                                                  const platform::OpenRequest& request,
                                                  const platform::SecurityAttributes& security) {
    const std::optional<std::u16string> key = NewChildKey(parent, name, request, "CreateChildFile");
    if (!key) return platform::kNoFile;
    Entry entry;
    entry.sddl = NewObjectList(*key, security.descriptor, false);
    entry.owner = TrusteeSid(creator.owner);
    Entry& made = entries[*key] = entry;
    return NewHandle(*key, made, request);
}

void FakeWindows::NoteHandle(const std::string& operation, platform::FileHandle file) {
    const auto open = handles_.find(file);
    Note(operation, open == handles_.end() ? std::u16string() : open->second.key);
}

std::optional<platform::HandleInfo> FakeWindows::QueryHandle(platform::FileHandle file) {
    NoteHandle("QueryHandle", file);
    if (Injected("QueryHandle", OpenKey(file)) != nullptr) return std::nullopt;
    const auto open = handles_.find(file);
    // The attribute query needs the right to read attributes (or data): GENERIC_WRITE alone
    // has neither, so a write handle needs FILE_READ_ATTRIBUTES added.
    if (open == handles_.end()) {
        lastError = kErrorInvalidHandle;
        return std::nullopt;
    }
    if ((open->second.access & kReadAttributes) == 0) {
        lastError = kErrorAccessDenied;
        return std::nullopt;
    }
    const Entry* entry = Live(file);
    if (entry == nullptr) {
        lastError = kErrorInvalidHandle;
        return std::nullopt;
    }
    return platform::HandleInfo{entry->Attributes(), entry->IsReparse() ? entry->reparseTag : 0, entry->links};
}

std::optional<platform::VolumeInfo> FakeWindows::QueryVolume(platform::FileHandle entry) {
    NoteHandle("QueryVolume", entry);
    if (Injected("QueryVolume", OpenKey(entry)) != nullptr) return std::nullopt;
    if (Live(entry) == nullptr) {
        lastError = kErrorInvalidHandle;
        return std::nullopt;
    }
    return VolumeOf(OpenKey(entry));
}

// FileDispositionInfo needs DELETE, refuses a read-only entry and a directory that holds
// anything, and only marks the entry: it goes when its last handle closes.
bool FakeWindows::MarkForDeletion(platform::FileHandle entry) {
    NoteHandle("MarkForDeletion", entry);
    if (Injected("MarkForDeletion", OpenKey(entry)) != nullptr) return false;
    const auto open = handles_.find(entry);
    Entry* found = Live(entry);
    if (found == nullptr || (open->second.access & kDelete) == 0) return Fail(kErrorAccessDenied);
    if ((found->attributes & kReadOnly) != 0) return Fail(kErrorCannotDelete);
    if (found->IsDirectory() && HasChildren(open->second.key)) return Fail(kErrorDirNotEmpty);
    found->deletePending = true;
    return true;
}

bool FakeWindows::WriteBytes(platform::FileHandle file, const void* data, std::uint32_t size) {
    NoteHandle("WriteBytes", file);
    const auto open = handles_.find(file);
    if (open == handles_.end()) return Fail(kErrorInvalidHandle);
    if ((open->second.access & kGenericWrite) == 0) return Fail(kErrorAccessDenied);
    Entry* entry = Live(file);
    if (entry == nullptr) return Fail(kErrorInvalidHandle);
    // A failing write leaves what went through before it, and the file pointer after it.
    const Fault* fault = Injected("WriteBytes", open->second.key);
    const std::size_t count = fault != nullptr ? std::min<std::size_t>(fault->bytes, size) : size;
    std::string& content = entry->content;
    const std::size_t at = open->second.position;
    if (content.size() < at + count) content.resize(at + count);
    content.replace(at, count, static_cast<const char*>(data), count);
    open->second.position += count;
    // The file's other names show the same bytes.
    for (auto& [key, other] : entries) {
        if (other.id == entry->id && &other != entry) other.content = content;
    }
    return fault == nullptr;
}

bool FakeWindows::FlushFile(platform::FileHandle file) {
    NoteHandle("FlushFile", file);
    const auto open = handles_.find(file);
    if (open == handles_.end() || Live(file) == nullptr) return Fail(kErrorInvalidHandle);
    if ((open->second.access & kGenericWrite) == 0) return Fail(kErrorAccessDenied);
    return Injected("FlushFile", open->second.key) == nullptr;
}

// MS-FSA 2.1.5.15.11 and MS-FSCC 2.4.42: the source needs DELETE; a target that is a directory,
// or a file with any open, is not replaced (STATUS_ACCESS_DENIED); replacing needs what deleting
// it would (the "Rename and Hard Link Processing" page), so a read-only file stays, and a caller
// who is no administrator may not delete a file carrying a list. The name alone goes: a file's
// other names keep it, a link's target is not touched. The destination folder is reached from
// the handle without OBJ_DONT_REPARSE: through a folder that became a link, the link is followed.
// The interface's order: the file, then the folder it goes into.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool FakeWindows::RenameInto(platform::FileHandle file, platform::FileHandle folder, const std::u16string& name) {
    constexpr platform::OpenRequest kFollowing{};
    const std::optional<std::u16string> key = ChildKey(folder, name, kFollowing);
    Note("RenameInto", key.value_or(name));
    if (!key) return false;
    if (Injected("RenameInto", *key) != nullptr) return false;
    const auto open = handles_.find(file);
    const Entry* source = Live(file);
    if (source == nullptr || (open->second.access & kDelete) == 0) return Fail(kErrorAccessDenied);
    const std::u16string from = open->second.key;
    const auto same = [](const std::u16string& a, const std::u16string& b) {
        return !CaseInsensitiveLess{}(a, b) && !CaseInsensitiveLess{}(b, a);
    };
    if (same(from, *key)) return true;
    const auto target = entries.find(*key);
    if (target != entries.end()) {
        const Entry& there = target->second;
        const bool opened = std::any_of(handles_.begin(), handles_.end(), [&](const auto& handle) {
            return there.id != 0 && handle.second.id == there.id;
        });
        if (there.IsDirectory() || opened || (there.attributes & kReadOnly) != 0 ||
            (!callerIsAdministrator && !there.sddl.empty())) {
            return Fail(kErrorAccessDenied);
        }
        RemoveName(*key);
    } else if (!ParentIsDirectory(*key)) {
        return Fail(kErrorPathNotFound);
    }
    Entry moved = entries[from];
    entries.erase(from);
    entries[*key] = std::move(moved);
    for (auto& [handle, opened] : handles_) {
        if (same(opened.key, from) && opened.id == entries[*key].id) opened.key = *key;
    }
    return true;
}

// The path below the root the handle's entry lies on, as MS-FSA 2.1.5.12.19 builds it.
std::optional<std::u16string> FakeWindows::QueryName(platform::FileHandle entry) {
    NoteHandle("QueryName", entry);
    if (Injected("QueryName", OpenKey(entry)) != nullptr) return std::nullopt;
    if (Live(entry) == nullptr) {
        lastError = kErrorInvalidHandle;
        return std::nullopt;
    }
    const std::u16string key = OpenKey(entry);
    const std::u16string root = RootOf(key);
    std::u16string below = key.substr(root.size());
    if (below.empty()) below = u"\\";
    if (below.size() > 1 && below.back() == u'\\') below.pop_back();
    return below;
}

platform::Descriptor FakeWindows::NewDescriptor(const std::u16string& sddl) {
    // Raw new and delete on purpose: a descriptor freed twice, or one never handed out, fails
    // under AddressSanitizer as LocalFree would fail on Windows.
    auto* text = new std::u16string(sddl);   // NOLINT(cppcoreguidelines-owning-memory)
    descriptors_.insert(text);
    return text;
}

// GetSecurityInfo needs READ_CONTROL.
platform::Descriptor FakeWindows::ReadAccessList(platform::FileHandle entry) {
    NoteHandle("ReadAccessList", entry);
    if (Injected("ReadAccessList", OpenKey(entry)) != nullptr) return nullptr;
    const auto open = handles_.find(entry);
    const Entry* found = Live(entry);
    if (found == nullptr || (open->second.access & kReadControl) == 0) {
        lastError = kErrorAccessDenied;
        return nullptr;
    }
    return NewDescriptor(found->sddl);
}

// SetKernelObjectSecurity needs WRITE_DAC, and sets the list as given: in the same folder,
// whatever it passes on is what the earlier file got from it.
bool FakeWindows::WriteAccessList(platform::FileHandle entry, platform::Descriptor descriptor) {
    NoteHandle("WriteAccessList", entry);
    if (Injected("WriteAccessList", OpenKey(entry)) != nullptr) return false;
    const auto open = handles_.find(entry);
    Entry* found = Live(entry);
    if (found == nullptr || (open->second.access & platform::kAccessWriteDac) == 0) return Fail(kErrorAccessDenied);
    found->sddl = DescriptorText(descriptor);
    return true;
}

void FakeWindows::RemoveName(const std::u16string& key) {
    const auto found = entries.find(key);
    if (found == entries.end()) return;
    const std::uint64_t id = found->second.id;
    entries.erase(found);
    for (auto& [other, entry] : entries) {
        if (id != 0 && entry.id == id && entry.links > 1) --entry.links;
    }
}

void FakeWindows::CloseFile(platform::FileHandle file) {
    NoteHandle("CloseFile", file);
    const Entry* entry = Live(file);
    const bool goes = entry != nullptr && entry->deletePending;
    const std::u16string key = OpenKey(file);
    handles_.erase(file);
    if (goes && !IsHeld(key)) RemoveName(key);
}

}  // namespace model

namespace model {

std::optional<std::string> RecordedEvent::Field(std::string_view field) const {
    const auto found = std::find_if(fields.begin(), fields.end(), [field](const auto& f) { return f.first == field; });
    if (found == fields.end()) return std::nullopt;
    return found->second;
}

std::string RecordedEvent::Text() const {
    std::string line;
    switch (level) {
        case platform::TraceLevel::Error: line = "Error"; break;
        case platform::TraceLevel::Information: line = "Info"; break;
        case platform::TraceLevel::Verbose: line = "Verbose"; break;
    }
    line += " " + name;
    for (const auto& [field, value] : fields) {
        line += " " + field + "=";
        // A line feed in a value is shown as \n, so that each event stays on its line.
        for (const char c : value) line += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return line;
}

std::string FakeWindows::EventLog() const {
    std::string log;
    for (const RecordedEvent& event : events) log += event.Text() + "\n";
    return log;
}

// What a decoder shows of each field: 8-bit text as it is, UTF-16 units above 255 as '?'.
void FakeWindows::Trace(const platform::TraceEvent& event) {
    CheckOneLevelPerName(event.name, event.level);
    RecordedEvent recorded;
    recorded.name = event.name;
    recorded.level = event.level;
    recorded.keywords = event.keywords;
    for (const platform::TraceField& field : event.fields) {
        std::string value;
        switch (field.kind) {
            case platform::TraceField::Kind::Text: value = std::string(field.text); break;
            case platform::TraceField::Kind::WideText: value = Narrow(std::u16string(field.wide)); break;
            case platform::TraceField::Kind::Path:
                value = Narrow(platform::PathText(field.wide, field.names, field.leaf));
                break;
            case platform::TraceField::Kind::Number:
            case platform::TraceField::Kind::Size: value = std::to_string(field.number); break;
            case platform::TraceField::Kind::Hex: {
                std::array<char, 16> hex{};
                // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): bounded by the buffer's size
                (void)std::snprintf(hex.data(), hex.size(), "0x%08X", static_cast<unsigned>(field.number));
                value = hex.data();
                break;
            }
        }
        recorded.fields.emplace_back(field.name, std::move(value));
    }
    events.push_back(std::move(recorded));
}

}  // namespace model
