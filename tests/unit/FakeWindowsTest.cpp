#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "report/PathWalk.h"
#include "report/ReportReplace.h"
#include "tests/model/FakeWindows.h"
#include "tests/unit/ReportFixture.h"

// The model's answers where they stand in for a documented Windows behaviour that the code's
// safety rests on: if the model were kinder than Windows, the tests above it would prove nothing.
namespace model {
namespace {

using report::kLevelOpen;
using report::kMadeLevel;
using report::kReportLook;
using report::kReportMade;
using report::kRootOpen;

// What the walk held before it asked for traverse: attributes and the list alone.
constexpr platform::OpenRequest kAttributesOnly{
    platform::kAccessReadAttributes | platform::kAccessReadControl | platform::kAccessSynchronize,
    platform::kShareRead | platform::kShareWrite, true};

// A folder holding a file, and entries of each kind that lead to it.
struct LinkedDrive {
    FakeWindows os;
    LinkedDrive() {
        os.AddDirectory(u"C:\\target");
        os.AddFile(u"C:\\target\\keep.txt", "keep");
        os.AddDirectory(u"C:\\empty");
        os.AddDirectory(u"C:\\full");
        os.AddFile(u"C:\\full\\theirs.txt");
        os.AddLink(u"C:\\junction", platform::kReparseTagMountPoint, u"C:\\target", true);
        os.AddLink(u"C:\\dirlink", platform::kReparseTagSymlink, u"C:\\target", true);
        os.AddLink(u"C:\\filelink", platform::kReparseTagSymlink, u"C:\\target\\keep.txt", false);
        os.AddFile(u"C:\\file.txt");
    }
};

// The directory at a path, opened the way the walk opens it (or with `request`): its root, then
// each name inside the one before. Only the last handle stays open.
platform::FileHandle OpenDirectory(FakeWindows& os, const std::u16string& path,
                                   const platform::OpenRequest& request = kLevelOpen) {
    const std::size_t rootEnd = path.rfind(u"\\\\", 0) == 0 ? path.find(u'\\', path.find(u'\\', 2) + 1) + 1 : 3;
    const std::u16string root =
        rootEnd == 3 ? u"\\??\\" + path.substr(0, 3) : u"\\??\\UNC\\" + path.substr(2, rootEnd - 2);
    platform::FileHandle handle = os.OpenRoot(root, kRootOpen);
    std::size_t at = rootEnd;
    while (handle != platform::kNoFile && at < path.size()) {
        std::size_t end = path.find(u'\\', at);
        if (end == std::u16string::npos) end = path.size();
        const platform::FileHandle next = os.OpenChild(handle, path.substr(at, end - at), request);
        os.CloseFile(handle);
        handle = next;
        at = end + 1;
    }
    return handle;
}

// FILE_OPEN_REPARSE_POINT opens the entry named, never what a link there leads to.
TEST(OpenChild, OpensTheEntryItselfAndFollowsNothing) {
    struct Case {
        const char16_t* name;
        bool opens;
        std::uint32_t attributes;
        std::uint32_t tag;
    };
    const Case cases[] = {
        {u"file.txt", true, kAttributeArchive, 0},
        {u"target", true, platform::kAttributeDirectory, 0},
        {u"junction", true, platform::kAttributeDirectory | platform::kAttributeReparsePoint,
         platform::kReparseTagMountPoint},
        {u"dirlink", true, platform::kAttributeDirectory | platform::kAttributeReparsePoint,
         platform::kReparseTagSymlink},
        {u"filelink", true, kAttributeArchive | platform::kAttributeReparsePoint, platform::kReparseTagSymlink},
        {u"missing", false, 0, 0},
        {u"target\\keep.txt", false, 0, 0},   // a path, not a name
        {u"..", false, 0, 0},
    };
    for (const Case& c : cases) {
        LinkedDrive d;
        const platform::FileHandle root = d.os.OpenRoot(u"\\??\\C:\\", kRootOpen);
        ASSERT_NE(root, platform::kNoFile);
        const platform::FileHandle entry = d.os.OpenChild(root, c.name, kLevelOpen);
        EXPECT_EQ(entry != platform::kNoFile, c.opens) << Narrow(c.name);
        if (entry != platform::kNoFile) {
            const std::optional<platform::HandleInfo> info = d.os.QueryHandle(entry);
            ASSERT_TRUE(info) << Narrow(c.name);
            EXPECT_EQ(info->attributes, c.attributes) << Narrow(c.name);
            EXPECT_EQ(info->reparseTag, c.tag) << Narrow(c.name);
            d.os.CloseFile(entry);
        }
        d.os.CloseFile(root);
        EXPECT_EQ(d.os.OpenHandleCount(), 0u) << Narrow(c.name);
    }
}

// Through a folder held as itself that is a link, or became one after it was opened: what an open
// with OBJ_DONT_REPARSE does there is undocumented, so the model answers each reading a test asks
// for (refused with ERROR_REPARSE_POINT_ENCOUNTERED, or made in the junction's own folder), never
// one that leads away. The root's own NT name is itself a link: the flag fails its open. Without
// the flag the model follows the link, so that a walk relying on anything else passes here and
// fails on Windows.
TEST(OpenChild, ThroughALinkWithDontReparseIsRefusedOrStaysInTheFolderAndFollowsItWithout) {
    for (const FakeWindows::HeldJunction reading :
         {FakeWindows::HeldJunction::Refused, FakeWindows::HeldJunction::InTheFolderItself}) {
        const bool refused = reading == FakeWindows::HeldJunction::Refused;
        LinkedDrive d;
        d.os.heldJunction = reading;
        platform::OpenRequest rootWithFlag = kRootOpen;
        rootWithFlag.dontReparse = true;
        EXPECT_EQ(d.os.OpenRoot(u"\\??\\C:\\", rootWithFlag), platform::kNoFile);
        EXPECT_EQ(d.os.lastError, platform::kErrorReparsePointEncountered);

        platform::OpenRequest withoutFlag = kLevelOpen;
        withoutFlag.dontReparse = false;
        const platform::FileHandle empty = OpenDirectory(d.os, u"C:\\empty");
        ASSERT_TRUE(d.os.SetReparseAsUser(u"C:\\empty", platform::kReparseTagMountPoint, u"C:\\target"));
        for (const char16_t* folder : {u"C:\\junction", u"C:\\dirlink", u"C:\\empty"}) {
            const std::u16string name(folder);
            const platform::FileHandle link = name == u"C:\\empty" ? empty : OpenDirectory(d.os, name);
            EXPECT_EQ(d.os.OpenChild(link, u"keep.txt", kLevelOpen), platform::kNoFile) << Narrow(name);
            EXPECT_EQ(d.os.lastError, refused ? platform::kErrorReparsePointEncountered : kErrorFileNotFound);
            const platform::FileHandle made = d.os.CreateChildFile(link, u"made.txt", kReportMade, {});
            EXPECT_EQ(made == platform::kNoFile, refused) << Narrow(name);
            EXPECT_EQ(d.os.entries.count(name + u"\\made.txt"), refused ? 0u : 1u) << Narrow(name);
            if (made != platform::kNoFile) d.os.CloseFile(made);
            EXPECT_FALSE(d.os.Exists(u"C:\\target\\made.txt"));
            const platform::FileHandle followed = d.os.OpenChild(link, u"keep.txt", withoutFlag);
            ASSERT_NE(followed, platform::kNoFile);
            EXPECT_EQ(d.os.calls.back(), "OpenChild C:\\target\\keep.txt");
            d.os.CloseFile(followed);
            d.os.CloseFile(link);
        }
        EXPECT_EQ(d.os.OpenHandleCount(), 0u);
    }
}

// MS-FSA 2.1.5.1.2.2: a rename opens the entry for DELETE, and only an open that asks for data,
// traverse or DELETE access takes part in the share-access check. A folder held for its
// attributes alone is renamed away under the handle, which follows it; held for traverse without
// FILE_SHARE_DELETE it cannot be. What was held before the walk asked for traverse pinned nothing.
TEST(ReplaceAsUser, RefusedOnlyWhileAnOpenThatTakesPartInTheShareCheckHoldsTheEntry) {
    struct Case {
        const char* name = "";
        platform::OpenRequest held;
        bool swapped = false;
    };
    platform::OpenRequest sharedForDelete = kLevelOpen;
    sharedForDelete.share |= platform::kShareDelete;
    const Case cases[] = {
        {"attributes and list alone", kAttributesOnly, true},
        {"traverse, no delete sharing", kLevelOpen, false},
        {"traverse and DELETE", kMadeLevel, false},
        {"traverse, shared for deleting", sharedForDelete, true},
    };
    for (const Case& c : cases) {
        LinkedDrive d;
        const platform::FileHandle held = OpenDirectory(d.os, u"C:\\target", c.held);
        ASSERT_NE(held, platform::kNoFile) << c.name;
        Entry junction;
        junction.attributes = platform::kAttributeDirectory;
        junction.reparseTag = platform::kReparseTagMountPoint;
        junction.target = u"C:\\Windows";
        EXPECT_EQ(d.os.ReplaceAsUser(u"C:\\target", junction), c.swapped) << c.name;
        EXPECT_EQ(d.os.Find(u"C:\\target")->reparseTag != 0, c.swapped) << c.name;
        if (!c.swapped) {
            EXPECT_EQ(d.os.lastError, kErrorSharingViolation) << c.name;
        }
        // The handle reaches what it was opened on, wherever that now is.
        const platform::FileHandle inside = d.os.OpenChild(held, u"keep.txt", kLevelOpen);
        ASSERT_NE(inside, platform::kNoFile) << c.name;
        EXPECT_EQ(d.os.calls.back(), c.swapped ? "OpenChild C:\\target.moved1\\keep.txt" : "OpenChild C:\\target\\keep.txt")
            << c.name;
        d.os.CloseFile(inside);
        d.os.CloseFile(held);
    }
    LinkedDrive d;
    EXPECT_TRUE(d.os.ReplaceAsUser(u"C:\\new", Entry{}));
    EXPECT_FALSE(d.os.ReplaceAsUser(u"C:\\nowhere\\new", Entry{}));
}

// A handle stays with its object: once the entry under its name is another object, the
// handle reaches nothing.
TEST(OpenChild, AHandleReachesNothingOnceItsEntryIsAnotherObject) {
    LinkedDrive d;
    const platform::FileHandle held = OpenDirectory(d.os, u"C:\\target");
    d.os.entries[u"C:\\target"] = Entry{};
    EXPECT_FALSE(d.os.QueryHandle(held));
    EXPECT_EQ(d.os.OpenChild(held, u"keep.txt", kLevelOpen), platform::kNoFile);
    d.os.CloseFile(held);
}

// FSCTL_SET_REPARSE_POINT needs only write-data or write-attributes, which no sharing keeps
// from anyone: a held empty folder becomes a junction; one that holds anything cannot, and a file
// never does (a mount point goes on a directory alone).
TEST(SetReparseAsUser, TurnsAHeldEmptyFolderIntoALinkButNoFullOne) {
    LinkedDrive d;
    const platform::FileHandle empty = OpenDirectory(d.os, u"C:\\empty");
    const platform::FileHandle full = OpenDirectory(d.os, u"C:\\full");
    EXPECT_TRUE(d.os.SetReparseAsUser(u"C:\\empty", platform::kReparseTagMountPoint, u"C:\\target"));
    EXPECT_EQ(d.os.QueryHandle(empty)->reparseTag, platform::kReparseTagMountPoint);
    EXPECT_FALSE(d.os.SetReparseAsUser(u"C:\\full", platform::kReparseTagMountPoint, u"C:\\target"));
    EXPECT_EQ(d.os.lastError, kErrorDirNotEmpty);
    EXPECT_FALSE(d.os.SetReparseAsUser(u"C:\\file.txt", platform::kReparseTagMountPoint, u"C:\\target"));
    EXPECT_EQ(d.os.lastError, kErrorDirectory);
    d.os.CloseFile(empty);
    d.os.CloseFile(full);
}

// On a share every open is resolved by name again on the server, which follows the links on the
// way: a held level made a junction leads the next open away, OBJ_DONT_REPARSE or not, and a
// held level pins nothing. The volume says so; a drive letter can stand for a share too.
TEST(Shares, ResolveEveryOpenByNameAndSayTheyAreRemote) {
    FakeWindows os;
    os.AddDirectory(u"\\\\srv\\share");
    os.AddDirectory(u"\\\\srv\\share\\reports");
    os.AddDirectory(u"\\\\srv\\share\\elsewhere");
    const platform::FileHandle reports = OpenDirectory(os, u"\\\\srv\\share\\reports");
    ASSERT_NE(reports, platform::kNoFile);
    const std::optional<platform::VolumeInfo> volume = os.QueryVolume(reports);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->characteristics & platform::kVolumeRemoteDevice, platform::kVolumeRemoteDevice);
    ASSERT_TRUE(os.SetReparseAsUser(u"\\\\srv\\share\\reports", platform::kReparseTagMountPoint,
                                    u"\\\\srv\\share\\elsewhere"));
    const platform::FileHandle made = os.CreateChildFile(reports, u"status.txt", kReportMade, {});
    ASSERT_NE(made, platform::kNoFile);
    EXPECT_TRUE(os.Exists(u"\\\\srv\\share\\elsewhere\\status.txt"));
    os.CloseFile(made);
    os.CloseFile(reports);

    os.volumes[u"Z:"] = {platform::kDeviceNetworkFileSystem, platform::kVolumeRemoteDevice};
    os.volumes[u"E:"] = {platform::kDeviceCdRom, 0};
    os.AddDirectory(u"Z:\\");
    os.AddDirectory(u"E:\\");
    const std::pair<const char16_t*, platform::VolumeInfo> drives[] = {
        {u"C:\\", {platform::kDeviceDisk, 0}},
        {u"Z:\\", {platform::kDeviceNetworkFileSystem, platform::kVolumeRemoteDevice}},
        {u"E:\\", {platform::kDeviceCdRom, 0}}};
    for (const auto& [drive, device] : drives) {
        const platform::FileHandle root = os.OpenRoot(u"\\??\\" + std::u16string(drive), kRootOpen);
        EXPECT_EQ(os.QueryVolume(root)->deviceType, device.deviceType) << Narrow(drive);
        EXPECT_EQ(os.QueryVolume(root)->characteristics, device.characteristics) << Narrow(drive);
        os.CloseFile(root);
    }
}

// A drive letter is a link of the object manager (QueryDosDeviceW reads it without opening
// anything): a volume's device name, a folder for a drive made with subst, a path below a
// redirector for one mapped to a share. Its root opens where the link leads, and the root's
// name below its volume's root (MS-FSA 2.1.5.12.19) is "\\" only for a volume's own root.
TEST(DeviceLink, DriveLettersLeadWhereTheirLinksSay) {
    struct Case {
        const char16_t* drive = nullptr;
        const char16_t* link = nullptr;   // nullptr: not listed
        std::optional<std::u16string> answered;
        const char16_t* name = nullptr;   // of the root opened; nullptr: a share
    };
    const Case cases[] = {
        {u"C:", nullptr, u"\\Device\\HarddiskVolume3", u"\\"},
        {u"S:", u"\\??\\C:\\work", u"\\??\\C:\\work", u"\\work"},
        {u"Z:", u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\srv\\share",
         u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\srv\\share", nullptr},
    };
    for (const Case& c : cases) {
        FakeWindows os;
        os.AddDirectory(u"\\\\srv\\share");
        if (c.link != nullptr) os.dosDevices[c.drive] = c.link;
        EXPECT_EQ(os.DeviceLink(c.drive), c.answered) << Narrow(c.drive);
        const platform::FileHandle root = os.OpenRoot(u"\\??\\" + std::u16string(c.drive) + u"\\", kRootOpen);
        ASSERT_NE(root, platform::kNoFile) << Narrow(c.drive);
        if (c.name != nullptr) {
            EXPECT_EQ(os.QueryName(root), std::u16string(c.name)) << Narrow(c.drive);
        } else {
            EXPECT_NE(os.QueryVolume(root)->characteristics & platform::kVolumeRemoteDevice, 0u) << Narrow(c.drive);
        }
        os.CloseFile(root);
    }
    FakeWindows os;
    EXPECT_FALSE(os.DeviceLink(u"Volume{00000000-0000-0000-0000-000000000000}"));
    EXPECT_EQ(os.lastError, kErrorFileNotFound);
}

// FILE_CREATE fails on anything at the name, a link whose target is missing included, and
// nothing can be made inside a reparse point that takes no entries; what is made carries the
// maker's owner, and the maker's handle writes it whatever its list says.
TEST(CreateChild, FailsOnAnythingAtTheNameAndInsideAReparsePoint) {
    LinkedDrive d;
    d.os.AddLink(u"C:\\dangling", platform::kReparseTagSymlink, u"C:\\gone", false);
    d.os.AddFile(u"C:\\other");
    d.os.Find(u"C:\\other")->reparseTag = 0x80000017u;
    const platform::FileHandle root = d.os.OpenRoot(u"\\??\\C:\\", kRootOpen);
    for (const char16_t* taken : {u"file.txt", u"target", u"junction", u"dirlink", u"dangling"}) {
        EXPECT_EQ(d.os.CreateChildDirectory(root, taken, kMadeLevel, {}), platform::kNoFile) << Narrow(taken);
        EXPECT_EQ(d.os.CreateChildFile(root, taken, kReportMade, {}), platform::kNoFile) << Narrow(taken);
    }
    EXPECT_FALSE(d.os.Exists(u"C:\\gone"));
    const platform::FileHandle other = d.os.OpenChild(root, u"other", kLevelOpen);
    EXPECT_EQ(d.os.CreateChildDirectory(other, u"inside", kMadeLevel, {}), platform::kNoFile);

    d.os.callerIsAdministrator = false;
    const platform::FileHandle made = d.os.CreateChildFile(root, u"made.txt", kReportMade, {});
    ASSERT_NE(made, platform::kNoFile);
    EXPECT_EQ(d.os.Find(u"C:\\made.txt")->owner, kSystemSid);
    EXPECT_TRUE(d.os.WriteBytes(made, "x", 1));
    for (const platform::FileHandle handle : {made, other, root}) d.os.CloseFile(handle);
}

// FileDispositionInfo needs DELETE, refuses a directory that holds anything, and marks the
// entry: it goes when its last handle closes, and nothing new can be made in it meanwhile.
TEST(MarkForDeletion, MarksOnlyWhatWasOpenedForDeletingAndNoFullDirectory) {
    LinkedDrive d;
    const platform::FileHandle root = d.os.OpenRoot(u"\\??\\C:\\", kRootOpen);
    const platform::FileHandle opened = d.os.OpenChild(root, u"empty", kLevelOpen);
    EXPECT_FALSE(d.os.MarkForDeletion(opened));   // opened without DELETE
    d.os.CloseFile(opened);

    const platform::FileHandle made = d.os.CreateChildDirectory(root, u"made", kMadeLevel, {});
    d.os.CloseFile(d.os.CreateChildFile(made, u"theirs.txt", kReportMade, {}));
    EXPECT_FALSE(d.os.MarkForDeletion(made));
    EXPECT_EQ(d.os.lastError, kErrorDirNotEmpty);
    d.os.CloseFile(made);
    EXPECT_TRUE(d.os.Exists(u"C:\\made\\theirs.txt"));

    const platform::FileHandle second = d.os.CreateChildDirectory(root, u"second", kMadeLevel, {});
    EXPECT_TRUE(d.os.MarkForDeletion(second));
    EXPECT_TRUE(d.os.Exists(u"C:\\second"));
    EXPECT_EQ(d.os.CreateChildFile(second, u"late.txt", kReportMade, {}), platform::kNoFile);
    EXPECT_EQ(d.os.OpenChild(root, u"second", kLevelOpen), platform::kNoFile);
    d.os.CloseFile(second);
    EXPECT_FALSE(d.os.Exists(u"C:\\second"));

    const platform::FileHandle file = d.os.CreateChildFile(root, u"new.txt", kReportMade, {});
    EXPECT_TRUE(d.os.MarkForDeletion(file));
    d.os.CloseFile(file);
    EXPECT_FALSE(d.os.Exists(u"C:\\new.txt"));
    d.os.CloseFile(root);
}

// MS-FSA 2.1.5.15.11 and MS-FSCC 2.4.42: the rename takes a name and replaces what stands there
// only when that is a file nobody has open, which deleting would also remove (a read-only one
// stays, and so does one a caller who is no administrator may not delete). The name alone goes:
// the file's other hard links keep their bytes, a link's target is untouched. A directory, an open
// file and a source opened without DELETE refuse, changing nothing.
TEST(RenameInto, ReplacesANameNeverWhatItLeadsTo) {
    struct Case {
        const char* name;
        std::function<void(FakeWindows&)> arrange;
        bool renamed;
    };
    const Case cases[] = {
        {"nothing there", nullptr, true},
        {"plain file", [](FakeWindows& os) { os.AddFile(u"C:\\out\\r.txt", "old"); }, true},
        {"file with a second name",
         [](FakeWindows& os) {
             os.AddFile(u"C:\\target\\other.txt", "protected");
             os.AddHardLink(u"C:\\target\\other.txt", u"C:\\out\\r.txt");
         },
         true},
        {"file link", [](FakeWindows& os) {
             os.AddLink(u"C:\\out\\r.txt", platform::kReparseTagSymlink, u"C:\\target\\keep.txt", false);
         }, true},
        {"directory", [](FakeWindows& os) { os.AddDirectory(u"C:\\out\\r.txt"); }, false},
        {"junction", [](FakeWindows& os) {
             os.AddLink(u"C:\\out\\r.txt", platform::kReparseTagMountPoint, u"C:\\target", true);
         }, false},
        {"read-only file", [](FakeWindows& os) {
             os.AddFile(u"C:\\out\\r.txt", "old");
             os.Find(u"C:\\out\\r.txt")->attributes |= 0x1u;
         }, false},
        {"a list a non-administrator may not delete", [](FakeWindows& os) {
             os.AddFile(u"C:\\out\\r.txt", "old");
             os.Find(u"C:\\out\\r.txt")->sddl = u"D:(A;;FA;;;BA)";
             os.callerIsAdministrator = false;
         }, false},
    };
    for (const Case& c : cases) {
        LinkedDrive d;
        d.os.AddDirectory(u"C:\\out");
        if (c.arrange) c.arrange(d.os);
        const std::map<std::u16string, Entry, CaseInsensitiveLess> before = d.os.entries;
        const platform::FileHandle out = OpenDirectory(d.os, u"C:\\out");
        const platform::FileHandle made = d.os.CreateChildFile(out, u"new.tmp", kReportMade, {});
        ASSERT_TRUE(d.os.WriteBytes(made, "new", 3));
        EXPECT_EQ(d.os.RenameInto(made, out, u"r.txt"), c.renamed) << c.name;
        EXPECT_EQ(d.os.Find(u"C:\\target\\keep.txt")->content, "keep") << c.name;
        if (c.renamed) {
            EXPECT_EQ(d.os.entries.count(u"C:\\out\\new.tmp"), 0u) << c.name;
            EXPECT_EQ(d.os.entries[u"C:\\out\\r.txt"].content, "new") << c.name;
            EXPECT_EQ(d.os.QueryHandle(made)->links, 1u) << c.name;   // the handle went with its file
            if (d.os.Exists(u"C:\\target\\other.txt")) {
                EXPECT_EQ(d.os.Find(u"C:\\target\\other.txt")->content, "protected") << c.name;
                EXPECT_EQ(d.os.Find(u"C:\\target\\other.txt")->links, 1u) << c.name;
            }
        } else {
            EXPECT_EQ(d.os.lastError, kErrorAccessDenied) << c.name;
            auto after = d.os.entries;
            after.erase(u"C:\\out\\new.tmp");
            EXPECT_EQ(after.size(), before.size()) << c.name;
            EXPECT_EQ(d.os.entries[u"C:\\out\\r.txt"].content, before.at(u"C:\\out\\r.txt").content) << c.name;
        }
        d.os.CloseFile(made);
        d.os.CloseFile(out);
    }
    // Another open of the file at the name, and a source opened without DELETE.
    LinkedDrive d;
    d.os.AddDirectory(u"C:\\out");
    d.os.AddFile(u"C:\\out\\r.txt", "old");
    const platform::FileHandle out = OpenDirectory(d.os, u"C:\\out");
    const platform::FileHandle reader = d.os.OpenChild(out, u"r.txt", kReportLook);
    const platform::FileHandle made = d.os.CreateChildFile(out, u"new.tmp", kReportMade, {});
    EXPECT_FALSE(d.os.RenameInto(made, out, u"r.txt"));
    EXPECT_EQ(d.os.lastError, kErrorAccessDenied);
    d.os.CloseFile(reader);
    platform::OpenRequest noDelete = kReportMade;
    noDelete.access &= ~platform::kAccessDelete;
    const platform::FileHandle second = d.os.CreateChildFile(out, u"second.tmp", noDelete, {});
    EXPECT_FALSE(d.os.RenameInto(second, out, u"r.txt"));
    EXPECT_EQ(d.os.Find(u"C:\\out\\r.txt")->content, "old");
    EXPECT_TRUE(d.os.RenameInto(made, out, u"r.txt"));
    for (const platform::FileHandle handle : {second, made, out}) d.os.CloseFile(handle);
}

// The list of an entry, read through a handle with READ_CONTROL and given to another through one
// with WRITE_DAC, as it stands; what is written through one name of a file shows under the other.
TEST(ThroughTheHandle, AccessListsAndHardLinks) {
    LinkedDrive d;
    d.os.Find(u"C:\\file.txt")->sddl = u"D:(A;;FA;;;WD)";
    d.os.AddHardLink(u"C:\\file.txt", u"C:\\target\\second.txt");
    const platform::FileHandle root = d.os.OpenRoot(u"\\??\\C:\\", kRootOpen);
    const platform::FileHandle looked = d.os.OpenChild(root, u"file.txt", kReportLook);
    constexpr platform::OpenRequest kNoList{platform::kAccessReadAttributes | platform::kAccessSynchronize,
                                            platform::kShareRead | platform::kShareWrite, true};
    const platform::FileHandle unlisted = d.os.OpenChild(root, u"target", kNoList);
    EXPECT_EQ(d.os.ReadAccessList(unlisted), nullptr);
    const platform::Descriptor list = d.os.ReadAccessList(looked);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(FakeWindows::DescriptorText(list), u"D:(A;;FA;;;WD)");
    const platform::FileHandle made = d.os.CreateChildFile(root, u"made.txt", kReportMade, {});
    EXPECT_TRUE(d.os.WriteAccessList(made, list));
    EXPECT_EQ(d.os.Find(u"C:\\made.txt")->sddl, u"D:(A;;FA;;;WD)");
    EXPECT_FALSE(d.os.WriteAccessList(looked, list));   // no WRITE_DAC
    d.os.FreeDescriptor(list);
    EXPECT_EQ(d.os.Find(u"C:\\target\\second.txt")->links, 2u);
    const platform::FileHandle writer = d.os.OpenChild(root, u"file.txt", kReportMade);
    EXPECT_TRUE(d.os.WriteBytes(writer, "through one name", 16));
    EXPECT_EQ(d.os.Find(u"C:\\target\\second.txt")->content, "through one name");
    for (const platform::FileHandle handle : {writer, made, unlisted, looked, root}) d.os.CloseFile(handle);
    EXPECT_EQ(d.os.OpenHandleCount(), 0u);
}

// WriteFile moves the file pointer by what it wrote, also when it fails part-way: those bytes
// stand in the file, over what was there, and nothing after them.
TEST(Faults, WriteThatFailsPartWayLeavesExactlyTheBytesWritten) {
    FakeWindows os;
    os.faults.push_back(Fault("WriteBytes").AfterBytes(3).WithError(kErrorDiskFull).OnCall(1));
    const platform::FileHandle work = OpenDirectory(os, u"C:\\work");
    const platform::FileHandle file = os.CreateChildFile(work, u"r.txt", kReportMade, {});
    os.CloseFile(work);
    ASSERT_NE(file, platform::kNoFile);
    EXPECT_FALSE(os.WriteBytes(file, "ABCDEFGH", 8));
    EXPECT_EQ(os.lastError, kErrorDiskFull);
    EXPECT_EQ(os.Find(u"C:\\work\\r.txt")->content, "ABC");
    EXPECT_TRUE(os.WriteBytes(file, "D", 1));
    EXPECT_EQ(os.Find(u"C:\\work\\r.txt")->content, "ABCD");
    os.CloseFile(file);
    EXPECT_EQ(os.OpenHandleCount(), 0u);
}

// Each step of the read fails the way the shipped read answers it, and hands back no bytes.
TEST(Faults, ReadWholeFileAnswersEachStepsFailure) {
    struct Case {
        const char* step;
        platform::ReadResult result;
    };
    const Case cases[] = {
        {"ReadWholeFile:CreateFileA", platform::ReadResult::CannotOpen},
        {"ReadWholeFile:GetFileInformationByHandle", platform::ReadResult::CannotOpen},
        {"ReadWholeFile:GetFileSize", platform::ReadResult::ReadFailed},
        {"ReadWholeFile:allocation", platform::ReadResult::NoMemory},
        {"ReadWholeFile:ReadFile", platform::ReadResult::ReadFailed},
    };
    for (const Case& c : cases) {
        FakeWindows os;
        os.AddFile(u"C:\\Temp\\r.pkt", "report");
        os.faults.emplace_back(c.step);
        platform::FileBytes bytes;
        EXPECT_EQ(os.ReadWholeFile("C:\\Temp\\r.pkt", 100, bytes), c.result) << c.step;
        EXPECT_EQ(bytes.size, 0u) << c.step;
        EXPECT_EQ(bytes.data, nullptr) << c.step;
        EXPECT_EQ(os.injected.size(), 1u) << c.step;
    }
}

// A reservation whose marker cannot be written is deleted again; only a refused delete
// leaves it, holding what went through.
TEST(Faults, FailedReservationWriteIsDeletedUnlessTheDeleteIsRefusedToo) {
    for (const bool deleteRefused : {false, true}) {
        FakeWindows os;
        os.faults.push_back(Fault("ReserveFile:WriteFile").AfterBytes(4));
        if (deleteRefused) os.faults.emplace_back("ReserveFile:DeleteFileA");
        EXPECT_EQ(os.ReserveFile("C:\\Temp\\r.pkt", "marker"), platform::ReserveResult::Failed);
        EXPECT_EQ(os.Exists(u"C:\\Temp\\r.pkt"), deleteRefused);
        if (deleteRefused) {
            EXPECT_EQ(os.Find(u"C:\\Temp\\r.pkt")->content, "mark");
        }
    }
}

// A key that cannot be created leaves nothing; a value that cannot be set leaves the key as
// created or opened; a tree that cannot be deleted stays whole. Deleting a key that is not
// there is no failure.
TEST(Faults, RegistryRefusalsChangeNothingButWhatSucceededBefore) {
    const std::u16string key = u"SOFTWARE\\NORV\\Quorrant\\Selvond";
    {
        FakeWindows os;
        os.faults.emplace_back("WriteRegistryString:RegCreateKeyExW");
        EXPECT_FALSE(os.WriteRegistryString(key, u"Version", u"1.0"));
        EXPECT_TRUE(os.registry.empty());
    }
    {
        FakeWindows os;
        EXPECT_TRUE(os.WriteRegistryString(key, u"Version", u"0.9"));
        os.faults.emplace_back("WriteRegistryString:RegSetValueExW");
        EXPECT_FALSE(os.WriteRegistryString(key, u"Version", u"1.0"));
        EXPECT_EQ(os.RegistryString(key, u"Version"), u"0.9");
        EXPECT_FALSE(os.WriteRegistryString(u"SOFTWARE\\Other", u"Version", u"1.0"));
        EXPECT_EQ(os.registry.count(u"SOFTWARE\\Other"), 1u);
        EXPECT_FALSE(os.RegistryString(u"SOFTWARE\\Other", u"Version"));
    }
    {
        FakeWindows os;
        EXPECT_TRUE(os.DeleteRegistryTree(key));
        EXPECT_TRUE(os.WriteRegistryString(key, u"Version", u"0.9"));
        os.faults.push_back(Fault("DeleteRegistryTree").At(key));
        EXPECT_FALSE(os.DeleteRegistryTree(key));
        EXPECT_EQ(os.RegistryString(key, u"Version"), u"0.9");
    }
}

}  // namespace
}  // namespace model
