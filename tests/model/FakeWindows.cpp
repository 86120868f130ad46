#include "tests/model/FakeWindows.h"

#include <algorithm>
#include <cstring>
#include <utility>

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

// "\\server" alone: a server, no share.
bool IsBareServer(const std::u16string& key) {
    return key.rfind(u"\\\\", 0) == 0 && key.find(u'\\', 2) == std::u16string::npos;
}

// A name ending in a separator names a directory: Windows refuses it for anything else.
bool EndsWithSeparator(const std::u16string& path) {
    return !path.empty() && (path.back() == u'\\' || path.back() == u'/');
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
                          bool toDirectory) {
    Entry entry;
    entry.attributes = toDirectory ? platform::kAttributeDirectory : kAttributeArchive;
    entry.reparseTag = tag;
    entry.reparseBitWithoutTag = tag == 0;
    entry.target = target;
    entries[*Resolve(path)] = entry;
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
    return systemFolder;
}

bool FakeWindows::RunHiddenCommand(const std::string& application, const std::string& commandLine) {
    applications.push_back(application);
    commands.push_back(commandLine);
    // CreateProcessA failed: nothing ran, no handle was given.
    if (Injected("RunHiddenCommand", Widen(application)) != nullptr) return false;
    return onCommand ? onCommand(*this, commandLine) : true;
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
    if (!key) return platform::ReserveResult::Failed;
    if (entries.count(*key) != 0) return platform::ReserveResult::AlreadyExists;
    if (!ParentIsDirectory(*key)) return platform::ReserveResult::Failed;
    Entry entry;
    entry.content = std::string(content);
    if (const Fault* fault = Injected("ReserveFile:WriteFile", wide)) {
        // What went through before the failure stays until the file is deleted again.
        entry.content.resize(std::min(fault->bytes, content.size()));
        entries[*key] = entry;
        if (Injected("ReserveFile:DeleteFileA", wide) == nullptr) entries.erase(*key);
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
    if (entry == nullptr || (entry->IsDirectory() && !entry->IsReparse())) return platform::ReadResult::CannotOpen;
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
    if (!key) return false;
    const auto found = entries.find(*key);
    if (found == entries.end() || found->second.IsDirectory()) return false;
    entries.erase(found);
    return true;
}

// --- registry ---

// The parameters are the interface's, in the registry calls' order.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool FakeWindows::WriteRegistryString(const std::u16string& keyPath, const std::u16string& valueName,
                                      const std::u16string& text) {
    if (Injected("WriteRegistryString:RegCreateKeyExW", keyPath) != nullptr) return false;
    // The key is there once created or opened; the value's own failure is not answered.
    if (Injected("WriteRegistryString:RegSetValueExW", keyPath) != nullptr) {
        registry[keyPath];
        return true;
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
    if (Injected("BuildDescriptor", {}) != nullptr || sddl.rfind(u"D:", 0) != 0) return nullptr;
    // Raw new and delete on purpose: a descriptor freed twice, or one never handed out, fails
    // under AddressSanitizer as LocalFree would fail on Windows.
    auto* text = new std::u16string(sddl);   // NOLINT(cppcoreguidelines-owning-memory)
    descriptors_.insert(text);
    return text;
}

void FakeWindows::FreeDescriptor(platform::Descriptor descriptor) {
    auto* text = static_cast<std::u16string*>(descriptor);
    descriptors_.erase(text);
    delete text;   // NOLINT(cppcoreguidelines-owning-memory)
}

std::u16string FakeWindows::DescriptorText(platform::Descriptor descriptor) {
    return descriptor == nullptr ? std::u16string() : *static_cast<std::u16string*>(descriptor);
}

// --- report files ---

platform::AttributeQuery FakeWindows::QueryAttributes(const std::u16string& path) {
    Note("QueryAttributes", path);
    platform::AttributeQuery query;
    if (const Fault* fault = Injected("QueryAttributes", path)) {
        query.error = fault->error;
        return query;
    }
    if (path.empty()) {
        query.error = kErrorPathNotFound;
        return query;
    }
    const std::optional<std::u16string> key = Resolve(path);
    if (!key) {
        query.error = kErrorInvalidName;
        return query;
    }
    if (IsBareServer(*key)) {
        query.error = bareServerError;
        return query;
    }
    if (badNetPaths.count(*key) != 0) {
        query.error = platform::kErrorBadNetPath;
        return query;
    }
    const auto found = entries.find(*key);
    if (found == entries.end()) {
        query.error = ParentIsDirectory(*key) ? kErrorFileNotFound : kErrorPathNotFound;
        return query;
    }
    if (EndsWithSeparator(path) && !found->second.IsDirectory()) {
        query.error = kErrorInvalidName;
        return query;
    }
    query.attributes = found->second.Attributes();
    return query;
}

std::optional<platform::FindRecord> FakeWindows::FindEntry(const std::u16string& path) {
    Note("FindEntry", path);
    if (Injected("FindEntry", path) != nullptr) return std::nullopt;
    // FindFirstFileW finds nothing for a name ending in a separator, a root included.
    const std::optional<std::u16string> key = Resolve(path);
    if (!key || EndsWithSeparator(path) || refusedSearches.count(*key) != 0) return std::nullopt;
    const auto found = entries.find(*key);
    if (found == entries.end()) return std::nullopt;
    platform::FindRecord record;
    record.attributes = found->second.Attributes();
    record.reserved0 = found->second.IsReparse() ? found->second.reparseTag : 0;
    return record;
}

bool FakeWindows::CreateNewFile(const std::u16string& path, const platform::SecurityAttributes& security) {
    Note("CreateNewFile", path);
    if (Injected("CreateNewFile", path) != nullptr) return false;
    const std::optional<std::u16string> key = Resolve(path);
    if (!key || EndsWithSeparator(path) || failCreate.count(*key) != 0 || entries.count(*key) != 0 ||
        !ParentIsDirectory(*key)) {
        return false;
    }
    Entry entry;
    entry.sddl = NewObjectList(*key, security.descriptor, false);
    entries[*key] = entry;
    return true;
}

bool FakeWindows::MakeDirectory(const std::u16string& path, const platform::SecurityAttributes& security) {
    Note("MakeDirectory", path);
    if (Injected("MakeDirectory", path) != nullptr) return false;
    const std::optional<std::u16string> key = Resolve(path);
    if (key && IsBareServer(*key)) return Fail(kErrorBadPathname);
    if (!key || failCreate.count(*key) != 0 || entries.count(*key) != 0 || !ParentIsDirectory(*key)) return false;
    Entry entry;
    entry.attributes = platform::kAttributeDirectory;
    entry.sddl = NewObjectList(*key, security.descriptor, true);
    entries[*key] = entry;
    madeDirectories.push_back(*key);
    return true;
}

// RemoveDirectoryW: the last component itself, links above it followed. A junction or a
// directory link goes as itself whatever its target holds; a plain directory only when empty.
bool FakeWindows::RemoveEmptyDirectory(const std::u16string& path) {
    Note("RemoveEmptyDirectory", path);
    if (Injected("RemoveEmptyDirectory", path) != nullptr) return false;
    const std::optional<std::u16string> key = Resolve(path);
    if (!key) return Fail(kErrorInvalidName);
    const auto found = entries.find(*key);
    if (found == entries.end()) return Fail(kErrorFileNotFound);
    if (!found->second.IsDirectory()) return Fail(kErrorDirectory);
    if (!found->second.IsReparse() && HasChildren(*key)) return Fail(kErrorDirNotEmpty);
    entries.erase(found);
    return true;
}

platform::FileHandle FakeWindows::OpenExisting(const std::u16string& path, std::uint32_t access,
                                               const platform::SecurityAttributes&) {
    Note("OpenExisting", path);
    if (Injected("OpenExisting", path) != nullptr) return platform::kNoFile;
    const std::optional<std::u16string> key = Resolve(path);
    if (!key) return FailOpen(kErrorInvalidName);
    const auto found = entries.find(*key);
    if (found == entries.end()) return FailOpen(kErrorFileNotFound);
    const Entry& entry = found->second;
    if (EndsWithSeparator(path) && !entry.IsDirectory()) return FailOpen(kErrorInvalidName);
    // Without backup semantics no directory handle is given, be it a plain directory, a
    // junction or a directory link; a file link is opened as itself.
    if (entry.IsDirectory()) return FailOpen(kErrorAccessDenied);
    if ((access & platform::kGenericWrite) != 0 && !entry.sddl.empty() && !callerIsAdministrator) {
        return FailOpen(kErrorAccessDenied);
    }
    const platform::FileHandle handle = nextHandle_++;
    handles_[handle] = OpenFile{*key, access, 0};
    return handle;
}

Entry* FakeWindows::OpenEntry(platform::FileHandle file) {
    const auto open = handles_.find(file);
    if (open == handles_.end()) return nullptr;
    const auto found = entries.find(open->second.key);
    return found == entries.end() ? nullptr : &found->second;
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
    if (open == handles_.end() || (open->second.access & platform::kFileReadAttributes) == 0) return std::nullopt;
    const Entry* entry = OpenEntry(file);
    if (entry == nullptr) return std::nullopt;
    return platform::HandleInfo{entry->Attributes(), entry->links};
}

bool FakeWindows::WriteBytes(platform::FileHandle file, const void* data, std::uint32_t size) {
    NoteHandle("WriteBytes", file);
    const auto open = handles_.find(file);
    if (open == handles_.end() || (open->second.access & platform::kGenericWrite) == 0) return false;
    Entry* entry = OpenEntry(file);
    if (entry == nullptr) return false;
    // A failing write leaves what went through before it, and the file pointer after it.
    const Fault* fault = Injected("WriteBytes", open->second.key);
    const std::size_t count = fault != nullptr ? std::min<std::size_t>(fault->bytes, size) : size;
    std::string& content = entry->content;
    const std::size_t at = open->second.position;
    if (content.size() < at + count) content.resize(at + count);
    content.replace(at, count, static_cast<const char*>(data), count);
    open->second.position += count;
    return fault == nullptr;
}

bool FakeWindows::RewindFile(platform::FileHandle file) {
    NoteHandle("RewindFile", file);
    const auto open = handles_.find(file);
    if (open == handles_.end() || Injected("RewindFile", open->second.key) != nullptr) return false;
    open->second.position = 0;
    return true;
}

bool FakeWindows::EndFileHere(platform::FileHandle file) {
    NoteHandle("EndFileHere", file);
    const auto open = handles_.find(file);
    if (open == handles_.end() || (open->second.access & platform::kGenericWrite) == 0) return false;
    if (Injected("EndFileHere", open->second.key) != nullptr) return false;
    Entry* entry = OpenEntry(file);
    if (entry == nullptr) return false;
    entry->content.resize(open->second.position);
    return true;
}

void FakeWindows::CloseFile(platform::FileHandle file) {
    NoteHandle("CloseFile", file);
    handles_.erase(file);
}

}  // namespace model
