// The status report writer on arbitrary UTF-16 paths over arbitrary entries already on disk:
// directories, files, files with a second name, symbolic links, mount points, other reparse
// points, dangling links, refused creations and searches, a descriptor or a write that fails,
// and at most one entry that someone else swaps in between two of the writer's calls. Afterwards every entry is compared with
// what it was: the writer may only have created directories along the path's own directory
// part and created or written the report file itself, and must have left nothing open.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "report/PathChecks.h"
#include "report/ReportSecurity.h"
#include "report/StatusReportWriter.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/model/FakeWindows.h"

namespace {

using Keys = std::set<std::u16string, model::CaseInsensitiveLess>;
using Snapshot = std::map<std::u16string, model::Entry, model::CaseInsensitiveLess>;

constexpr std::uint32_t kOtherTag = 0x80000017u;       // a reparse point that stands for no other entry
constexpr std::uint32_t kOtherLinkTag = 0xA000001Du;   // a link of another kind: the name-surrogate bit
constexpr std::uint8_t kEndOfText = 0xFF;
constexpr std::size_t kMaxPieces = 12;
constexpr std::size_t kMaxEntries = 10;

// Path pieces that make the entries and the report path meet often.
constexpr auto kPieces = std::to_array<const char16_t*>({
    u"C:",   u"\\",    u"/",    u"a",     u"b",    u"out", u"..",  u".",          u"\\\\server\\share",
    u"r.txt", u"work", u"Temp", u"x y",  u"*",    u":",   u"D:",  u"\\\\server", u"C:\\",
    u"Windows", u"new", u"p.dat",
});
constexpr std::size_t kPieceCount = kPieces.size();

using namespace std::string_literals;
// The last one holds a NUL, which the writer must stop at: it has to be a std::string literal,
// or the text would end there before the writer ever sees it.
const auto kTexts =
    std::to_array<std::string>({"Version=10.0.1.3\n", "Not installed\n", "", "Version=\xE9\n", "Version=1\0tail"s});

// A string of pieces, ended by kEndOfText or the input's end; two more choices beyond the
// table bring in one arbitrary unit or a NUL.
std::u16string ReadPath(fuzz::Input& input) {
    std::u16string path;
    for (std::size_t n = 0; n < kMaxPieces && !input.Empty(); ++n) {
        const std::uint8_t byte = input.Byte();
        if (byte == kEndOfText) break;
        const std::size_t choice = byte % (kPieceCount + 2);
        if (choice < kPieceCount) {
            path += kPieces.at(choice);
        } else if (choice == kPieceCount) {
            path.push_back(static_cast<char16_t>(input.Unit()));
        } else {
            path.push_back(u'\0');
        }
    }
    return path;
}

enum class Kind { Directory, ReadOnlyDirectory, File, SecondName, FileLink, DirectoryLink, MountPoint,
                  OtherDirectory, OtherFile, WineLink, OtherLink, Count };

model::Entry MakeEntry(Kind kind, const std::u16string& target) {
    model::Entry entry;
    switch (kind) {
        case Kind::Directory: entry.attributes = platform::kAttributeDirectory; break;
        case Kind::ReadOnlyDirectory: entry.attributes = platform::kAttributeDirectory | 0x1u; break;
        case Kind::File: entry.content = "earlier file"; break;
        case Kind::SecondName:
            entry.content = "file with two names";
            entry.links = 2;
            break;
        case Kind::FileLink: entry.reparseTag = platform::kReparseTagSymlink; break;
        case Kind::DirectoryLink:
            entry.attributes = platform::kAttributeDirectory;
            entry.reparseTag = platform::kReparseTagSymlink;
            break;
        case Kind::MountPoint:
            entry.attributes = platform::kAttributeDirectory;
            entry.reparseTag = platform::kReparseTagMountPoint;
            break;
        case Kind::OtherDirectory:
            entry.attributes = platform::kAttributeDirectory;
            entry.reparseTag = kOtherTag;
            break;
        case Kind::OtherFile: entry.reparseTag = kOtherTag; break;
        case Kind::OtherLink:
            entry.attributes = platform::kAttributeDirectory;
            entry.reparseTag = kOtherLinkTag;
            break;
        case Kind::WineLink:
            entry.attributes = platform::kAttributeDirectory;
            entry.reparseBitWithoutTag = true;
            break;
        case Kind::Count: break;
    }
    if (entry.IsReparse()) entry.target = target;   // possibly empty, possibly dangling
    return entry;
}

// The keys of the directories above a model key, outermost first, its root included.
std::vector<std::u16string> Ancestors(const std::u16string& key) {
    std::vector<std::u16string> ancestors;
    std::size_t rootEnd = 2;
    if (key.rfind(u"\\\\", 0) == 0) {
        const std::size_t server = key.find(u'\\', 2);
        if (server == std::u16string::npos) return {};
        rootEnd = key.find(u'\\', server + 1);
        if (rootEnd == std::u16string::npos) return {};
        ancestors.push_back(key.substr(0, rootEnd));
    } else {
        if (key.size() <= 3) return {};
        ancestors.push_back(key.substr(0, 2) + u"\\");
    }
    for (std::size_t at = key.find(u'\\', rootEnd + 1); at != std::u16string::npos; at = key.find(u'\\', at + 1)) {
        ancestors.push_back(key.substr(0, at));
    }
    return ancestors;
}

// Places an entry the way a file system holds one: under directories, which are made where
// missing. An entry that would sit under a file, or that names a root, is left out. Returns
// the keys it set, the entry's own last.
std::vector<std::u16string> Place(model::FakeWindows& os, const std::u16string& path, const model::Entry& entry,
                                  bool replace) {
    const std::optional<std::u16string> key = os.Resolve(path);
    if (!key) return {};
    const std::vector<std::u16string> ancestors = Ancestors(*key);
    if (ancestors.empty()) return {};
    if (!replace && os.entries.count(*key) != 0) return {};
    for (const std::u16string& ancestor : ancestors) {
        const auto found = os.entries.find(ancestor);
        if (found != os.entries.end() && !found->second.IsDirectory()) return {};
    }
    std::vector<std::u16string> set;
    for (const std::u16string& ancestor : ancestors) {
        if (os.entries.count(ancestor) != 0) continue;
        os.entries[ancestor] = MakeEntry(Kind::Directory, {});
        set.push_back(ancestor);
    }
    os.entries[*key] = entry;
    set.push_back(*key);
    return set;
}

struct Planted {
    std::u16string path;
    model::Entry entry;
    std::size_t atCall = 0;
};

bool Same(const model::Entry& a, const model::Entry& b) {
    return a.attributes == b.attributes && a.reparseTag == b.reparseTag && a.target == b.target &&
           a.content == b.content && a.sddl == b.sddl && a.links == b.links &&
           a.reparseBitWithoutTag == b.reparseBitWithoutTag;
}

// Whether the directory walk stops at this level: a link of any kind (a reparse tag with the
// name-surrogate bit) that its search can find. A level whose query or search fails is walked
// through like a directory. The search fails on a name that ends in a separator: a level can
// end in a forward slash, which the walk does not take for one, and a prefix that ends in a
// run of backslashes names no level of the walk, which takes such a run as one separator.
bool WalkStopsAt(const model::FakeWindows& os, std::u16string_view level, const std::u16string& key) {
    if (!level.empty() && (level.back() == u'/' || level.back() == u'\\')) return false;
    const auto found = os.entries.find(key);
    if (found == os.entries.end() || os.refusedSearches.count(key) != 0 || os.badNetPaths.count(key) != 0) return false;
    return (found->second.reparseTag & platform::kReparseTagNameSurrogate) != 0;
}

// The list a directory or a file made under the report's descriptor gets; the descriptor is
// protected, so it is the same wherever the entry is made.
const std::u16string& CreatedList(bool directory) {
    static const std::pair<std::u16string, std::u16string> lists = [] {
        model::FakeWindows os;
        const report::ReportSecurity security(os);
        os.MakeDirectory(u"C:\\made", security.Attributes());
        os.CreateNewFile(u"C:\\made.txt", security.Attributes());
        return std::pair(os.Find(u"C:\\made")->sddl, os.Find(u"C:\\made.txt")->sddl);
    }();
    return directory ? lists.first : lists.second;
}

// Where the path's own chain lies in one state of the model: the report file, and every level
// of its directory part at either separator. With `stopAtLinks` the levels end where the walk
// refuses to go on; only a backslash separates the walk's levels, so a link followed by a
// forward slash is passed through as part of one level, as the system resolves it.
void AddChain(const model::FakeWindows& os, const std::u16string& path, bool stopAtLinks, Keys& levels, Keys& files) {
    if (const auto key = os.Resolve(path)) files.insert(*key);
    const std::optional<std::u16string_view> directory = report::DirectoryPart(path);
    if (!directory) return;
    for (std::size_t at = 0; at <= directory->size(); ++at) {
        const bool walkLevel = at == directory->size() || (*directory)[at] == u'\\';
        if (!walkLevel && (*directory)[at] != u'/') continue;
        const std::u16string_view level = directory->substr(0, at);
        const std::optional<std::u16string> key = os.Resolve(std::u16string(level));
        if (!key) continue;
        levels.insert(*key);
        if (stopAtLinks && walkLevel && WalkStopsAt(os, level, *key)) return;
    }
}

std::string Describe(const std::u16string& key, const model::Entry* entry) {
    std::string text = fuzz::Printable(key) + " = ";
    if (entry == nullptr) return text + "<none>";
    return text + "attributes " + std::to_string(entry->Attributes()) + " tag " + std::to_string(entry->reparseTag) +
           " target " + fuzz::Printable(entry->target) + " content " + fuzz::Printable(entry->content) + " links " +
           std::to_string(entry->links) + " sddl " + fuzz::Printable(entry->sddl);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    model::FakeWindows os;
    const std::uint8_t flags = input.Byte();
    os.callerIsAdministrator = (flags & 1u) == 0;
    // A reachable server whose bare name answers with another error than "not found".
    if ((flags & 4u) != 0) os.bareServerError = model::kErrorBadDevType;
    // A write that stops part-way, after as many bytes as the input says.
    const bool writeFails = (flags & 8u) != 0;
    if (writeFails) os.faults.push_back(model::Fault("WriteBytes").AfterBytes(input.Byte()));
    if ((flags & 16u) != 0) os.faults.push_back(model::Fault("BuildDescriptor"));
    const std::string& text = kTexts.at(input.Pick(kTexts.size()));
    const std::u16string path = ReadPath(input);

    for (std::size_t count = input.Pick(kMaxEntries + 1); count > 0; --count) {
        const auto kind = static_cast<Kind>(input.Pick(static_cast<std::size_t>(Kind::Count)));
        const std::u16string at = ReadPath(input);
        const model::Entry entry = MakeEntry(kind, ReadPath(input));
        Place(os, at, entry, false);
    }
    for (std::size_t count = input.Pick(3); count > 0; --count) {
        const std::optional<std::u16string> key = os.Resolve(ReadPath(input));
        if (!key) continue;
        switch (input.Pick(3)) {
            case 0: os.failCreate.insert(*key); break;
            case 1: os.refusedSearches.insert(*key); break;
            default: os.badNetPaths.insert(*key); break;
        }
    }
    std::optional<Planted> planted;
    if ((flags & 2u) != 0) {
        Planted swap;
        swap.atCall = input.Pick(32);
        const auto kind = static_cast<Kind>(input.Pick(static_cast<std::size_t>(Kind::Count)));
        swap.path = ReadPath(input);
        swap.entry = MakeEntry(kind, ReadPath(input));
        planted = swap;
    }

    // What each entry must still be afterwards: as found, or as the other party left it.
    Snapshot expected(os.entries.begin(), os.entries.end());
    Keys levels;
    Keys files;
    const std::u16string anchored = report::AnchorBareFileName(report::AsWideCString(path));
    AddChain(os, anchored, true, levels, files);
    // The hook below keeps these by reference after this block, for the writer's whole run.
    // cppcheck-suppress variableScope
    std::size_t calls = 0;
    bool swapped = false;
    Keys swappedKeys;
    if (planted) {
        os.beforeCall = [&](model::FakeWindows& system, const std::string&, const std::u16string&) {
            // Nobody can replace a file the writer holds open: it shares nothing.
            if (!planted || calls++ < planted->atCall || system.OpenHandleCount() != 0) return;
            // Once levels may have changed under the walk, it may also have been led through
            // a link it had checked before: anything along the path is then its own chain.
            Keys levelsUntilNow;
            AddChain(system, anchored, false, levelsUntilNow, files);
            const std::vector<std::u16string> set = Place(system, planted->path, planted->entry, true);
            for (const std::u16string& key : set) {
                expected[key] = system.entries[key];
                swappedKeys.insert(key);
            }
            if (!set.empty()) {
                levels.insert(levelsUntilNow.begin(), levelsUntilNow.end());
                swapped = true;
            }
            planted.reset();
        };
    }

    report::WriteStatusReport(os, path, text);
    os.beforeCall = nullptr;

    const std::string detail = "path " + fuzz::Printable(path);
    fuzz::Require(os.OpenHandleCount() == 0 && os.LiveDescriptorCount() == 0, "nothing left open", detail);

    if (swapped) AddChain(os, anchored, false, levels, files);
    const std::string written = text.substr(0, text.find('\0'));
    Keys all;
    for (const auto& [key, entry] : expected) all.insert(key);
    for (const auto& [key, entry] : os.entries) all.insert(key);
    for (const std::u16string& key : all) {
        const auto was = expected.find(key);
        const auto is = os.entries.find(key);
        const model::Entry* before = was == expected.end() ? nullptr : &was->second;
        const model::Entry* after = is == os.entries.end() ? nullptr : &is->second;
        if (before != nullptr && after != nullptr && Same(*before, *after)) continue;
        const std::string change = detail + "\nbefore " + Describe(key, before) + "\nafter  " + Describe(key, after);

        if (after == nullptr) {
            // The rollback removes by name: an empty directory or a link that someone else put
            // where the walk had made its directory goes in its place, as itself and empty.
            const bool made = std::find(os.madeDirectories.begin(), os.madeDirectories.end(), key) !=
                              os.madeDirectories.end();
            fuzz::Require(made && swappedKeys.count(key) != 0 && before->IsDirectory(),
                          "nothing the writer did not create is removed", change);
            continue;
        }
        const bool report = files.count(key) != 0;
        if (before == nullptr) {
            fuzz::Require(!after->IsReparse() && after->target.empty(), "what is created is no link", change);
            fuzz::Require(!after->sddl.empty() && after->sddl == CreatedList(after->IsDirectory()),
                          "what is created carries the report's list", change);
            if (after->IsDirectory()) {
                fuzz::Require(levels.count(key) != 0, "directories are created only along the path", change);
            } else {
                fuzz::Require(report, "the only file created is the report", change);
                fuzz::Require(after->content.empty() || after->content == written, "a new report holds the text",
                              change);
            }
            continue;
        }
        fuzz::Require(report, "only the report file changes", change);
        fuzz::Require(!before->IsReparse() && !before->IsDirectory() && before->links == 1,
                      "only a plain file with one name is written", change);
        // A write that fails leaves an empty report: a cut-off version could read as another one.
        const bool whole = after->content == written;
        const bool cut = writeFails && after->content.empty();
        model::Entry rewritten = *before;
        rewritten.content = after->content;
        fuzz::Require((whole || cut) && Same(rewritten, *after), "the report holds exactly the text", change);
    }
    return 0;
}
