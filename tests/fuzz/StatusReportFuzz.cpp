// The status report writer on arbitrary UTF-16 paths over arbitrary entries already on disk:
// directories, files (read-only ones, ones with a second hard link elsewhere), symbolic links and
// junctions owned by anyone, other reparse points, dangling links, shares, a drive D that is a CD,
// a remote volume, the multiple UNC provider, a substituted folder or a mapped share, refused
// creations, any one platform call that fails, and at most one entry that another user swaps in,
// or turns into a junction, between two of the writer's calls, under either reading of an open
// through a held folder that became a junction. Afterwards every entry is compared with what it
// was: the writer may only have made directories along the path as far as it meets no link, on a
// local disk, and put the report there as a new file (an earlier report at the name loses only
// that name, keeping its bytes under any other, and lends the new one its list); what it made
// stays only beside a report, a new file under its temporary name only when its removal failed;
// and it must have left nothing open.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "report/PathWalk.h"
#include "report/ReportPath.h"
#include "report/ReportReplace.h"
#include "report/ReportSecurity.h"
#include "report/StatusReportWriter.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/model/FakeWindows.h"

namespace {

using Keys = std::set<std::u16string, model::CaseInsensitiveLess>;
using Snapshot = std::map<std::u16string, model::Entry, model::CaseInsensitiveLess>;

constexpr std::uint32_t kOtherTag = 0x80000017u;       // a reparse point that stands for no other entry
constexpr std::uint32_t kCloudTag = 0x9000001Au;       // cloud files: a folder that may hold entries
constexpr std::uint32_t kOtherLinkTag = 0xA000001Du;   // a link of another kind: the name-surrogate bit
constexpr std::uint8_t kEndOfText = 0xFF;
constexpr std::size_t kMaxPieces = 12;
constexpr std::size_t kMaxEntries = 10;

// Path pieces that make the entries and the report path meet often.
constexpr auto kPieces = std::to_array<const char16_t*>({
    u"C:",   u"\\",    u"/",    u"a",     u"b",    u"out", u"..",  u".",          u"\\\\server\\share",
    u"r.txt", u"work", u"Temp", u"x y",  u"*",    u":",   u"D:",  u"\\\\server", u"C:\\",
    u"Windows", u"new", u"p.dat", u"~ppkg-launcher-1.tmp",
});
constexpr std::size_t kPieceCount = kPieces.size();

using namespace std::string_literals;
// The last one holds a NUL, which the writer must stop at: it has to be a std::string literal,
// or the text would end there before the writer ever sees it.
const auto kTexts =
    std::to_array<std::string>({"Version=10.0.1.3\n", "Not installed\n", "", "Version=\xE9\n", "Version=1\0tail"s});

// The platform calls of the walk and the write, any one of which may fail once.
constexpr auto kFailingCalls = std::to_array<const char*>({
    "OpenRoot", "OpenChild", "QueryHandle", "CreateChildDirectory", "CreateChildFile", "DeviceLink",
    "QueryName", "ReadAccessList", "MarkForDeletion", "WriteBytes", "FlushFile", "RenameInto",
    "CurrentDirectory", "DriveDirectory", "QueryVolume", "WriteAccessList",
});

// Who owns an entry and its list: whoever it is, a link is refused; a report's list goes to the
// one that replaces it.
struct Owner {
    std::u16string_view sid;
    std::u16string_view sddl;
};
constexpr auto kOwners = std::to_array<Owner>({
    {model::kUserSid, u""},
    {model::kAdministratorsSid, u""},
    {model::kSystemSid, u""},
    {model::kTrustedInstallerSid, u""},
    {model::kAdministratorsSid, model::kUsersMayWriteSddl},
    {model::kAdministratorsSid, u"D:(A;;FA;;;BA)(A;;SD;;;BU)"},
    {model::kAdministratorsSid, u"D:(A;;FA;;;BA)(A;;0x40;;;BU)"},
});

// What drive D is, when the input says: a CD, a remote volume, the multiple UNC provider, a
// folder of drive C made a drive with subst, or a share mapped to it.
enum class DriveD : std::uint8_t { Cd, Remote, MultipleUncProvider, Substituted, Mapped, Count };

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
                  OtherDirectory, OtherFile, WineLink, OtherLink, ReadOnlyFile, Count };

model::Entry MakeEntry(Kind kind, const std::u16string& target, const Owner& owner) {
    model::Entry entry;
    switch (kind) {
        case Kind::Directory: entry.attributes = platform::kAttributeDirectory; break;
        case Kind::ReadOnlyDirectory: entry.attributes = platform::kAttributeDirectory | 0x1u; break;
        case Kind::File: entry.content = "earlier file"; break;
        case Kind::SecondName: entry.content = "file with two names"; break;   // see PlaceSecondName
        case Kind::ReadOnlyFile:
            entry.content = "read-only file";
            entry.attributes |= 0x1u;
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
            entry.reparseTag = kCloudTag;
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
    entry.owner = owner.sid;
    entry.sddl = owner.sddl;
    return entry;
}

// A second name for a file placed at `path`, at `other`: one object, two links.
void PlaceSecondName(model::FakeWindows& os, const std::u16string& path, const std::u16string& other) {
    const std::optional<std::u16string> key = os.Resolve(path);
    const std::optional<std::u16string> otherKey = os.Resolve(other);
    if (!key || !otherKey || os.entries.count(*key) == 0 || os.entries[*key].IsDirectory() ||
        os.entries[*key].IsReparse() || os.entries.count(*otherKey) != 0) {
        return;
    }
    const std::optional<std::u16string> parent = otherKey->rfind(u'\\') == std::u16string::npos
                                                     ? std::nullopt
                                                     : std::optional(otherKey->substr(0, otherKey->rfind(u'\\')));
    const auto folder = parent ? os.entries.find(parent->size() == 2 ? *parent + u"\\" : *parent) : os.entries.end();
    if (folder == os.entries.end() || !folder->second.IsDirectory() || folder->second.IsReparse()) return;
    os.AddHardLink(*key, *otherKey);
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
        ancestors.push_back(key.substr(0, rootEnd + 1));
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
// missing. An entry that would sit under a file, or that names a root, is left out.
void Place(model::FakeWindows& os, const std::u16string& path, const model::Entry& entry) {
    const std::optional<std::u16string> key = os.Resolve(path);
    if (!key) return;
    const std::vector<std::u16string> ancestors = Ancestors(*key);
    if (ancestors.empty() || os.entries.count(*key) != 0) return;
    for (const std::u16string& ancestor : ancestors) {
        const auto found = os.entries.find(ancestor);
        if (found != os.entries.end() && !found->second.IsDirectory()) return;
    }
    for (const std::u16string& ancestor : ancestors) {
        if (os.entries.count(ancestor) == 0) os.entries[ancestor].attributes = platform::kAttributeDirectory;
    }
    os.entries[*key] = entry;
}

bool Same(const model::Entry& a, const model::Entry& b) {
    return a.attributes == b.attributes && a.reparseTag == b.reparseTag && a.target == b.target &&
           a.content == b.content && a.sddl == b.sddl && a.links == b.links &&
           a.reparseBitWithoutTag == b.reparseBitWithoutTag && a.owner == b.owner;
}

// The list a directory or a file made under the report's descriptor gets; the descriptor is
// protected, so it is the same wherever the entry is made.
const std::u16string& CreatedList(bool directory) {
    static const std::pair<std::u16string, std::u16string> lists = [] {
        model::FakeWindows os;
        const report::ReportSecurity security(os);
        const platform::FileHandle root = os.OpenRoot(u"\\??\\C:\\", report::kRootOpen);
        os.CloseFile(os.CreateChildDirectory(root, u"made", report::kMadeLevel, security.Attributes()));
        os.CloseFile(os.CreateChildFile(root, u"made.txt", report::kReportMade, security.Attributes()));
        os.CloseFile(root);
        return std::pair(os.Find(u"C:\\made")->sddl, os.Find(u"C:\\made.txt")->sddl);
    }();
    return directory ? lists.first : lists.second;
}

std::u16string Join(const std::u16string& key, const std::u16string& name) {
    return key.back() == u'\\' ? key + name : key + u"\\" + name;
}

// The model key of an NT root, or nullopt.
std::optional<std::u16string> RootKey(const std::u16string& root) {
    if (root.size() == 7 && root[5] == u':') return std::u16string(1, root[4]) + u":\\";
    if (root.rfind(u"\\??\\UNC\\", 0) == 0) return u"\\\\" + root.substr(8);
    return std::nullopt;
}

// Where the report path may lead, worked out apart from the walk: from a root on a local disk
// down, through any directory or reparse point that is no link, never through a link, never onto a
// share, a drive that stands for a folder or a share, or a volume that is no local disk. Every
// directory reached or missing on the way may be made; the file at the end may be put in place.
class Reach {
public:
    explicit Reach(const model::FakeWindows& os) : os_(os) {}
    Keys levels;
    Keys files;

    void Plan(const report::ReportPlan& plan) {
        const std::optional<std::u16string> root = RootKey(plan.root);
        if (!root || !LocalDisk(*root)) return;
        std::u16string key = *root;
        for (const report::PathLevel& level : plan.levels) {
            const std::u16string next = Join(key, level.name);
            levels.insert(next);
            const auto found = os_.entries.find(next);
            if (found != os_.entries.end() &&
                (!found->second.IsDirectory() ||
                 (found->second.reparseTag & platform::kReparseTagNameSurrogate) != 0)) {
                return;
            }
            key = next;
        }
        files.insert(Join(key, plan.file));
    }

private:
    // A drive letter that is a volume of its own, and one whose volume says it is a local disk.
    bool LocalDisk(const std::u16string& root) const {
        if (root.rfind(u"\\\\", 0) == 0) return false;
        const std::u16string drive = root.substr(0, 2);
        const auto link = os_.dosDevices.find(drive);
        if (link != os_.dosDevices.end() && !report::NamesADeviceAlone(link->second)) return false;
        const auto volume = os_.volumes.find(drive);
        if (volume == os_.volumes.end()) return true;
        const std::uint32_t type = volume->second.deviceType;
        return (type == platform::kDeviceDisk || type == platform::kDeviceDiskFileSystem) &&
               (volume->second.characteristics & platform::kVolumeRemoteDevice) == 0;
    }

    const model::FakeWindows& os_;
};

// A name the writer makes its new file under before the rename.
bool IsTemporary(const std::u16string& key) {
    const std::u16string name = key.substr(key.rfind(u'\\') + 1);
    for (int number = 1; number <= report::kTemporaryNames; ++number) {
        if (name == report::TemporaryName(number)) return true;
    }
    return false;
}

bool Equal(const std::u16string& a, const std::u16string& b) {
    return !model::CaseInsensitiveLess{}(a, b) && !model::CaseInsensitiveLess{}(b, a);
}

// `key` itself, or an entry inside it.
bool AtOrBelow(const std::u16string& name, const std::u16string& key) {
    return Equal(name, key) || (name.size() > key.size() && name[key.size()] == u'\\' &&
                                Equal(name.substr(0, key.size()), key));
}

void Rename(Snapshot& entries, const std::u16string& key, const std::u16string& aside) {
    Snapshot moved;
    for (auto it = entries.begin(); it != entries.end();) {
        if (AtOrBelow(it->first, key)) {
            moved[aside + it->first.substr(key.size())] = it->second;
            it = entries.erase(it);
        } else {
            ++it;
        }
    }
    entries.insert(moved.begin(), moved.end());
}

void Rename(Keys& keys, const std::u16string& key, const std::u16string& aside) {
    Keys moved;
    for (const std::u16string& name : keys) {
        if (AtOrBelow(name, key)) moved.insert(aside + name.substr(key.size()));
    }
    keys.insert(moved.begin(), moved.end());
}

// The directory the model's platform hands a path that is not fully qualified, asked of the
// model's state rather than its calls, which a fault may be waiting on.
std::u16string BaseText(const model::FakeWindows& os, const std::u16string& path) {
    const report::Base base = report::BaseOf(path);
    if (base.kind == report::BaseKind::None) return {};
    if (base.kind == report::BaseKind::DriveDirectory && !Equal(std::u16string(1, base.drive), os.currentDirectory.substr(0, 1))) {
        return std::u16string(1, base.drive) + u":\\";
    }
    return os.currentDirectory;
}

std::string Describe(const std::u16string& key, const model::Entry* entry) {
    std::string text = fuzz::Printable(key) + " = ";
    if (entry == nullptr) return text + "<none>";
    return text + "attributes " + std::to_string(entry->Attributes()) + " tag " + std::to_string(entry->reparseTag) +
           " target " + fuzz::Printable(entry->target) + " owner " + fuzz::Printable(entry->owner) + " content " +
           fuzz::Printable(entry->content) + " links " + std::to_string(entry->links) + " sddl " +
           fuzz::Printable(entry->sddl);
}

// What the pure planning promises whatever the path: a root in NT form, single names that the
// handle-relative calls can take, and no level made outside the directory part.
void CheckPlan(const report::ReportPlan& plan, const std::string& detail) {
    const auto isName = [](const std::u16string& name) {
        return !name.empty() && name != u"." && name != u".." && name.find_first_of(u"\\/") == std::u16string::npos;
    };
    fuzz::Require(plan.root.rfind(u"\\??\\", 0) == 0 && plan.root.back() == u'\\', "a plan starts at a root", detail);
    fuzz::Require(isName(plan.file), "the report is one name", detail);
    for (const report::PathLevel& level : plan.levels) {
        fuzz::Require(isName(level.name) && level.name.find(u':') == std::u16string::npos, "each level is one name",
                      detail);
        fuzz::Require(!level.creatable || level.inDirectoryPart, "only the directory part is made", detail);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    model::FakeWindows os;
    const std::uint8_t flags = input.Byte();
    os.callerIsAdministrator = (flags & 1u) == 0;
    // A write that stops part-way, after as many bytes as the input says.
    if ((flags & 8u) != 0) os.faults.push_back(model::Fault("WriteBytes").AfterBytes(input.Byte()));
    if ((flags & 16u) != 0) os.faults.push_back(model::Fault("BuildDescriptor"));
    if ((flags & 32u) != 0) {
        switch (static_cast<DriveD>(input.Pick(static_cast<std::size_t>(DriveD::Count)))) {
            case DriveD::Cd: os.volumes[u"D:"] = {platform::kDeviceCdRom, 0}; break;
            case DriveD::Remote: os.volumes[u"D:"] = {platform::kDeviceDisk, platform::kVolumeRemoteDevice}; break;
            case DriveD::MultipleUncProvider: os.volumes[u"D:"] = {platform::kDeviceMultiUncProvider, 0}; break;
            case DriveD::Substituted: os.dosDevices[u"D:"] = u"\\??\\C:\\out"; break;
            case DriveD::Mapped: os.dosDevices[u"D:"] = u"\\Device\\LanmanRedirector\\;D:0\\server\\share"; break;
            case DriveD::Count: break;
        }
    }
    // What an open through a held folder that became a junction does: refused, or made in it.
    if ((flags & 128u) != 0) os.heldJunction = model::FakeWindows::HeldJunction::InTheFolderItself;
    if ((flags & 4u) != 0) {
        const char* call = kFailingCalls.at(input.Pick(kFailingCalls.size()));
        os.faults.push_back(model::Fault(call).OnCall(static_cast<int>(input.Pick(8)) + 1));
    }
    const std::string& text = kTexts.at(input.Pick(kTexts.size()));
    const std::u16string path = ReadPath(input);

    for (std::size_t count = input.Pick(kMaxEntries + 1); count > 0; --count) {
        const auto kind = static_cast<Kind>(input.Pick(static_cast<std::size_t>(Kind::Count)));
        const Owner& owner = kOwners.at(input.Pick(kOwners.size()));
        const std::u16string at = ReadPath(input);
        const std::u16string target = ReadPath(input);
        Place(os, at, MakeEntry(kind, target, owner));
        if (kind == Kind::SecondName) PlaceSecondName(os, at, target);
    }
    for (std::size_t count = input.Pick(3); count > 0; --count) {
        if (const std::optional<std::u16string> key = os.Resolve(ReadPath(input))) os.failCreate.insert(*key);
    }
    // Another user's one move: an entry put at a path (what stood there renamed aside), or, with
    // flag 64, what stands there made a junction to the target.
    struct Swap {
        // Read through the optional holding it, which cppcheck does not follow.
        // cppcheck-suppress unusedStructMember
        std::size_t atCall;
        std::u16string at;
        std::u16string target;
        model::Entry entry;
    };
    std::optional<Swap> swap;
    if ((flags & 2u) != 0) {
        const std::size_t atCall = input.Pick(48);
        const auto kind = static_cast<Kind>(input.Pick(static_cast<std::size_t>(Kind::Count)));
        const Owner& owner = kOwners.at(input.Pick(kOwners.size()));
        std::u16string at = ReadPath(input);
        std::u16string target = ReadPath(input);
        model::Entry entry = MakeEntry(kind, target, owner);
        swap = Swap{atCall, std::move(at), std::move(target), std::move(entry)};
    }
    const bool junctionInPlace = (flags & 64u) != 0;

    const std::string detail = "path " + fuzz::Printable(path);
    const std::u16string anchored = report::AnchorBareFileName(report::AsWideCString(path));
    const std::optional<report::ReportPlan> plan = report::PlanReportPath(anchored, BaseText(os, anchored));
    if (plan) CheckPlan(*plan, detail);

    // What each entry must still be afterwards: as found, or as the other user left it.
    Snapshot expected(os.entries.begin(), os.entries.end());
    const Snapshot original = expected;
    Reach reach(os);
    if (plan) reach.Plan(*plan);
    // The hook below keeps it by reference for the writer's whole run.
    // cppcheck-suppress variableScope
    std::size_t calls = 0;
    bool swapped = false;
    // A directory the writer made that the other user turned into a junction: the rollback looks
    // at it before removing it, but the junction may come right after that look, and removing it
    // then takes the junction, which the writer itself made, and nothing behind it.
    std::optional<std::u16string> madeJunction;
    // Where the other user's move put something: a link there, swapped in after the writer looked,
    // loses its name to the report.
    std::optional<std::u16string> swapKey;
    if (swap) {
        os.beforeCall = [&](model::FakeWindows& system, const std::string&, const std::u16string&) {
            if (!swap || calls++ < swap->atCall) return;
            const Swap move = std::move(*swap);
            swap.reset();
            const std::optional<std::u16string> key = system.Resolve(move.at);
            if (!key) return;
            if (junctionInPlace) {
                const bool madeByWriter = expected.count(*key) == 0;
                if (!system.SetReparseAsUser(move.at, platform::kReparseTagMountPoint, move.target)) return;
                swapped = true;
                swapKey = *key;
                if (madeByWriter) madeJunction = *key;
                expected[*key] = system.entries[*key];
                if (plan) reach.Plan(*plan);
                return;
            }
            if (!system.ReplaceAsUser(move.at, move.entry)) return;
            swapped = true;
            swapKey = *key;
            // The other user's rename moves what stood there, and the oracle's bookkeeping with it.
            if (!system.movedAside.empty()) {
                Rename(expected, *key, system.movedAside);
                Rename(reach.levels, *key, system.movedAside);
                Rename(reach.files, *key, system.movedAside);
            }
            expected[*key] = system.entries[*key];
            if (plan) reach.Plan(*plan);
        };
    }

    report::WriteStatusReport(os, path, text);
    os.beforeCall = nullptr;

    fuzz::Require(os.OpenHandleCount() == 0 && os.LiveDescriptorCount() == 0, "nothing left open", detail);

    bool removalFailed = false;
    for (const std::string& injected : os.injected) {
        if (injected.rfind("MarkForDeletion ", 0) == 0) removalFailed = true;
    }
    // The rollback looks at each directory it made before removing it, and leaves one it cannot
    // look at, and so every one above it.
    const std::string queried = "QueryHandle ";
    const auto queryFailed = [&](const std::u16string& key) {
        const std::string folder = model::Narrow(key);
        return std::any_of(os.injected.begin(), os.injected.end(), [&](const std::string& injected) {
            if (injected.rfind(queried, 0) != 0) return false;
            const std::string at = injected.substr(queried.size());
            return at.size() >= folder.size() && at.compare(0, folder.size(), folder) == 0 &&
                   (at.size() == folder.size() || at[folder.size()] == '\\');
        });
    };
    // A folder the walk made stays only with the report, or a new file of the writer's, inside it,
    // unless its removal failed or another user put something in it.
    const auto holdsReport = [&](const std::u16string& folder) {
        return std::any_of(os.entries.begin(), os.entries.end(), [&](const auto& entry) {
            return !entry.second.IsDirectory() && entry.first.size() > folder.size() && AtOrBelow(entry.first, folder) &&
                   (reach.files.count(entry.first) != 0 || IsTemporary(entry.first));
        });
    };
    // The report's name: where a new file of the writer's may stand, under a temporary name.
    const auto besideReport = [&](const std::u16string& key) {
        const std::u16string folder = key.substr(0, key.rfind(u'\\'));
        return std::any_of(reach.files.begin(), reach.files.end(), [&](const std::u16string& file) {
            return Equal(file.substr(0, file.rfind(u'\\')), folder);
        });
    };
    const std::string written = text.substr(0, text.find('\0'));
    // The object an earlier report was, whose other names keep it with one link fewer.
    std::set<std::uint64_t> replaced;
    for (const std::u16string& file : reach.files) {
        const auto was = expected.find(file);
        const auto is = os.entries.find(file);
        if (was != expected.end() && is != os.entries.end() && was->second.id != 0 && is->second.id != was->second.id) {
            replaced.insert(was->second.id);
        }
    }
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

        // The rollback removes only what the walk made itself, through the handles it made it with.
        fuzz::Require(after != nullptr || (madeJunction && Equal(*madeJunction, key)), "nothing that was there is removed",
                      change);
        if (after == nullptr) continue;
        const bool report = reach.files.count(key) != 0;
        // A name of a file the report replaced: the same bytes, one link fewer.
        if (before != nullptr && !report && replaced.count(before->id) != 0) {
            model::Entry kept = *before;
            kept.links = before->links - 1;
            fuzz::Require(Same(kept, *after), "an earlier report's other name keeps its bytes", change);
            continue;
        }
        if (before == nullptr || report) {
            fuzz::Require(!after->IsReparse() && after->target.empty(), "what is created is no link", change);
        }
        if (before == nullptr && after->IsDirectory()) {
            fuzz::Require(!after->sddl.empty() && after->sddl == CreatedList(true),
                          "a directory made carries the report's list", change);
            fuzz::Require(reach.levels.count(key) != 0, "directories are created only where the path leads", change);
            fuzz::Require(removalFailed || swapped || holdsReport(key) || queryFailed(key),
                          "a directory made stays only with the report inside it", change);
            continue;
        }
        if (!report) {
            // A new file left under its temporary name: only when removing it failed.
            fuzz::Require(before == nullptr && IsTemporary(key) && besideReport(key) && removalFailed,
                          "the only file created is the report", change);
            fuzz::Require(written.rfind(after->content, 0) == 0, "a new file holds the text or a part of it", change);
            continue;
        }
        // The report: a new file holding exactly the text, which has the earlier report's list or
        // the report's own, and has taken the name from a plain file nobody had open, or from a
        // link swapped in after the look (never what the link led to).
        fuzz::Require(after->content == written && after->links == 1 && !after->IsDirectory(),
                      "the report is a new file holding exactly the text", change);
        if (before == nullptr) {
            fuzz::Require(after->sddl == CreatedList(false), "a new report carries the report's list", change);
            continue;
        }
        fuzz::Require(!before->IsDirectory() && (before->attributes & 0x1u) == 0, "only a file that may be deleted is replaced",
                      change);
        fuzz::Require(!before->IsReparse() || (swapped && swapKey && Equal(*swapKey, key)),
                      "a link at the report's name is refused when the walk looks at it", change);
        // What was swapped in after the look lends no list: the new file has the one the look read.
        const auto first = original.find(key);
        const bool swappedHere = swapped && swapKey && Equal(*swapKey, key);
        fuzz::Require(after->sddl == before->sddl ||
                          (swappedHere && (after->sddl == CreatedList(false) ||
                                           (first != original.end() && after->sddl == first->second.sddl))),
                      "a replaced report keeps the earlier report's list", change);
    }
    return 0;
}
