// The status report writer on arbitrary UTF-16 paths over arbitrary entries already on disk:
// directories, files, files with a second name, symbolic links and junctions owned by a user, by
// Administrators, the system or TrustedInstaller (some of them left for users to change, delete
// or empty of entries), other reparse points, dangling links, shares, a drive on removable
// media, refused creations, any one platform call that fails, and at most one entry that another
// user swaps in, or turns into a junction, between two of the writer's calls. Afterwards every
// entry is compared with what it was: the writer may only have made directories along the path
// as it leads through links that can be trusted, on no share, and made or written the report
// file there; what it made stays only beside a report; and it must have left nothing open.

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
constexpr int kMaxLinks = 63;

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

// The platform calls of the walk and the write, any one of which may fail once.
constexpr auto kFailingCalls = std::to_array<const char*>({
    "OpenRoot", "OpenChild", "QueryHandle", "CreateChildDirectory", "CreateChildFile", "OpenChildFile",
    "ReadSecurity", "ReadReparseData", "MarkForDeletion", "WriteBytes", "RewindFile", "EndFileHere",
    "CurrentDirectory", "DriveDirectory", "QueryVolume",
});

struct Owner {
    std::u16string_view sid;
    std::u16string_view sddl;
    // Read through an iterator, which cppcheck does not follow.
    // cppcheck-suppress unusedStructMember
    bool trusted;   // as a link: nobody else may change, delete or rename it
    // As a folder above a link: nobody else may delete what it holds, or move it.
    // cppcheck-suppress unusedStructMember
    bool keepsPlace;
};
constexpr auto kOwners = std::to_array<Owner>({
    {model::kUserSid, u"", false, false},
    {model::kAdministratorsSid, u"", true, true},
    {model::kSystemSid, u"", true, true},
    {model::kTrustedInstallerSid, u"", true, true},
    {model::kAdministratorsSid, model::kUsersMayWriteSddl, false, true},
    {model::kAdministratorsSid, u"D:(A;;FA;;;BA)(A;;SD;;;BU)", false, false},
    {model::kAdministratorsSid, u"D:(A;;FA;;;BA)(A;;0x40;;;BU)", true, false},
});

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

model::Entry MakeEntry(Kind kind, const std::u16string& target, const Owner& owner) {
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

// Where the report path may lead, worked out apart from the walk: from the root down, through
// any directory or reparse point that is no link, through a symbolic link or mount point only
// when its owner is trusted, nobody else may change it, no folder above it on its drive lets
// anyone else move it, and its drive is no removable one; never onto a share, never through
// anything else. Every directory reached or missing on the way may be made; the file at the end
// may be written.
class Reach {
public:
    explicit Reach(const model::FakeWindows& os) : os_(os) {}
    Keys levels;
    Keys files;

    void Plan(const report::ReportPlan& plan) {
        const std::optional<std::u16string> root = RootKey(plan.root);
        if (!root || Remote(*root)) return;
        std::vector<std::u16string> names(plan.levels.size());
        std::transform(plan.levels.begin(), plan.levels.end(), names.begin(),
                       [](const report::PathLevel& level) { return level.name; });
        names.push_back(plan.file);
        Walk(*root, {}, names, 0, true);
    }

private:
    // `folder` are the names below `root` reached so far, for relative link targets. Each link
    // followed starts one more walk, at most kMaxLinks deep.
    // NOLINTNEXTLINE(misc-no-recursion)
    void Walk(std::u16string key, std::vector<std::u16string> folder, const std::vector<std::u16string>& names,
              int links, bool endsInFile) {
        const std::u16string root = key;
        bool placeKept = !Removable(root);
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::u16string next = Join(key, names[i]);
            if (endsInFile && i + 1 == names.size()) {
                files.insert(next);
                return;
            }
            levels.insert(next);
            const auto found = os_.entries.find(next);
            if (found == os_.entries.end()) {
                key = next;
                folder.push_back(names[i]);
                continue;
            }
            const model::Entry& entry = found->second;
            if (entry.reparseTag != 0 && (entry.reparseTag & platform::kReparseTagNameSurrogate) != 0) {
                if (!Trusted(entry) || !placeKept || links >= kMaxLinks) return;
                std::optional<std::pair<std::u16string, std::vector<std::u16string>>> target = Target(entry, root, folder);
                if (!target || Remote(target->first)) return;
                // The rest of the path goes on from the link's target, walked from its root.
                std::vector<std::u16string> rest = target->second;
                rest.insert(rest.end(), names.begin() + static_cast<std::ptrdiff_t>(i) + 1, names.end());
                Walk(target->first, {}, rest, links + 1, endsInFile);
                return;
            }
            if (!entry.IsDirectory()) return;
            placeKept = placeKept && Known(entry).keepsPlace;
            key = next;
            folder.push_back(names[i]);
        }
    }

    // An entry's owner and list as one of the table's; a folder made for a missing level has
    // the defaults: Administrators, a list granting nothing.
    static Owner Known(const model::Entry& entry) {
        const auto owner = std::find_if(kOwners.begin(), kOwners.end(), [&](const Owner& known) {
            return known.sid == entry.owner && known.sddl == entry.sddl;
        });
        // Anything else keeps its place: what the walk may reach stays the wider set.
        return owner != kOwners.end() ? *owner : Owner{entry.owner, entry.sddl, false, true};
    }

    static bool Trusted(const model::Entry& link) {
        if (link.reparseTag != platform::kReparseTagSymlink && link.reparseTag != platform::kReparseTagMountPoint) {
            return false;
        }
        return Known(link).trusted;
    }

    // A share, or a drive the model lists as one.
    bool Remote(const std::u16string& root) const {
        const auto volume = os_.volumes.find(root.substr(0, root.size() - 1));
        return root.rfind(u"\\\\", 0) == 0 ||
               (volume != os_.volumes.end() && (volume->second.characteristics & platform::kVolumeRemoteDevice) != 0);
    }
    bool Removable(const std::u16string& root) const {
        const auto volume = os_.volumes.find(root.substr(0, root.size() - 1));
        return volume != os_.volumes.end() && (volume->second.characteristics & platform::kVolumeRemovableMedia) != 0;
    }

    // The root key and the names a link's target stands for.
    std::optional<std::pair<std::u16string, std::vector<std::u16string>>> Target(
        const model::Entry& link, const std::u16string& root, const std::vector<std::u16string>& folder) const {
        const std::u16string& target = link.target;
        std::u16string base;
        std::vector<std::u16string> names;
        std::size_t at = 0;
        if (target.size() >= 3 && target[1] == u':' && target[2] == u'\\') {
            base = std::u16string(1, target[0]) + u":\\";
            at = 3;
        } else if (target.rfind(u"\\\\", 0) == 0) {
            const std::size_t server = target.find(u'\\', 2);
            const std::size_t share = server == std::u16string::npos ? server : target.find(u'\\', server + 1);
            base = target.substr(0, share) + u"\\";
            at = share == std::u16string::npos ? target.size() : share + 1;
        } else if (link.reparseTag == platform::kReparseTagSymlink && !target.empty()) {
            base = root;
            if (target[0] == u'\\') {
                at = 1;
            } else {
                names = folder;
            }
        } else {
            return std::nullopt;
        }
        while (at < target.size()) {
            std::size_t end = target.find(u'\\', at);
            if (end == std::u16string::npos) end = target.size();
            const std::u16string name = target.substr(at, end - at);
            at = end + 1;
            if (name.empty() && end == target.size()) break;
            if (name == u"..") {
                if (!names.empty()) names.pop_back();
            } else if (name != u".") {
                names.push_back(name);
            }
        }
        // Whatever the walk refuses in a target (an odd name, a dot in an absolute one) only
        // narrows what it reaches; this stays the wider set.
        return std::pair(base, names);
    }

    const model::FakeWindows& os_;
};

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
    // Drive D on removable media, or a drive letter standing for a share.
    if ((flags & 32u) != 0) os.volumes[u"D:"] = {platform::kDeviceDisk, platform::kVolumeRemovableMedia};
    if ((flags & 128u) != 0) os.volumes[u"D:"] = {platform::kDeviceNetworkFileSystem, platform::kVolumeRemoteDevice};
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
        Place(os, at, MakeEntry(kind, ReadPath(input), owner));
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
                if (madeByWriter) madeJunction = *key;
                expected[*key] = system.entries[*key];
                if (plan) reach.Plan(*plan);
                return;
            }
            if (!system.ReplaceAsUser(move.at, move.entry)) return;
            swapped = true;
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

    bool textMayBeCut = false;
    bool removalFailed = false;
    for (const std::string& injected : os.injected) {
        for (const char* write : {"WriteBytes ", "RewindFile ", "EndFileHere "}) {
            if (injected.rfind(write, 0) == 0) textMayBeCut = true;
        }
        if (injected.rfind("MarkForDeletion ", 0) == 0) removalFailed = true;
    }
    // The rollback looks at each directory it made before removing it, and leaves one it cannot
    // look at (the only query of a made directory is that one), and so every one above it.
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
    // A folder the walk made stays only with the report inside it, unless its removal failed or
    // another user put something in it.
    const auto holdsReport = [&](const std::u16string& folder) {
        return std::any_of(reach.files.begin(), reach.files.end(), [&](const std::u16string& file) {
            const auto found = os.entries.find(file);
            return found != os.entries.end() && !found->second.IsDirectory() && AtOrBelow(file, folder);
        });
    };
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

        // The rollback removes only what the walk made itself, through the handles it made it with.
        fuzz::Require(after != nullptr || (madeJunction && Equal(*madeJunction, key)), "nothing that was there is removed",
                      change);
        if (after == nullptr) continue;
        const bool report = reach.files.count(key) != 0;
        if (before == nullptr) {
            fuzz::Require(!after->IsReparse() && after->target.empty(), "what is created is no link", change);
            fuzz::Require(!after->sddl.empty() && after->sddl == CreatedList(after->IsDirectory()),
                          "what is created carries the report's list", change);
            if (after->IsDirectory()) {
                fuzz::Require(reach.levels.count(key) != 0, "directories are created only where the path leads",
                              change);
                fuzz::Require(removalFailed || swapped || holdsReport(key) || queryFailed(key),
                              "a directory made stays only with the report inside it", change);
            } else {
                fuzz::Require(report, "the only file created is the report", change);
                fuzz::Require(after->content.empty() || after->content == written || textMayBeCut,
                              "a new report holds the text", change);
            }
            continue;
        }
        fuzz::Require(report, "only the report file changes", change);
        fuzz::Require(!before->IsReparse() && !before->IsDirectory() && before->links == 1,
                      "only a plain file with one name is written", change);
        model::Entry rewritten = *before;
        rewritten.content = after->content;
        fuzz::Require(Same(rewritten, *after), "only the report's bytes change", change);
        fuzz::Require(after->content == written || textMayBeCut, "the report holds exactly the text", change);
    }
    return 0;
}
