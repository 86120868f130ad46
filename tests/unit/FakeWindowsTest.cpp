#include <gtest/gtest.h>

#include <string>

#include "report/PathWalk.h"
#include "tests/model/FakeWindows.h"
#include "tests/unit/ReportFixture.h"

// The model's answers where they stand in for a documented Windows behaviour that the code's
// safety rests on: if the model were kinder than Windows, the tests above it would prove nothing.
namespace model {
namespace {

using report::kLevelOpen;
using report::kMadeLevel;
using report::kReportMade;
using report::kReportOpen;
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

// Through a folder held as itself that is a link, or became one after it was opened, OBJ_DONT_REPARSE
// fails the open (ERROR_REPARSE_POINT_ENCOUNTERED), as it fails one on the root's own NT name,
// itself a link. Without the flag Windows documents nothing, and the model follows the link: a
// walk that relied on anything else would pass here and fail on Windows.
TEST(OpenChild, ThroughALinkFailsWithDontReparseAndFollowsItWithout) {
    LinkedDrive d;
    platform::OpenRequest rootWithFlag = kRootOpen;
    rootWithFlag.dontReparse = true;
    EXPECT_EQ(d.os.OpenRoot(u"\\??\\C:\\", rootWithFlag), platform::kNoFile);
    EXPECT_EQ(d.os.lastError, platform::kErrorReparsePointEncountered);

    platform::OpenRequest withoutFlag = kLevelOpen;
    withoutFlag.dontReparse = false;
    const platform::FileHandle empty = OpenDirectory(d.os, u"C:\\empty");
    ASSERT_TRUE(d.os.SetReparseAsUser(u"C:\\empty", platform::kReparseTagMountPoint, u"C:\\target"));
    for (const platform::FileHandle link : {OpenDirectory(d.os, u"C:\\junction"), OpenDirectory(d.os, u"C:\\dirlink"), empty}) {
        EXPECT_EQ(d.os.OpenChild(link, u"keep.txt", kLevelOpen), platform::kNoFile);
        EXPECT_EQ(d.os.lastError, platform::kErrorReparsePointEncountered);
        EXPECT_EQ(d.os.CreateChildFile(link, u"made.txt", kReportMade, {}), platform::kNoFile);
        EXPECT_FALSE(d.os.Exists(u"C:\\target\\made.txt"));
        const platform::FileHandle followed = d.os.OpenChild(link, u"keep.txt", withoutFlag);
        ASSERT_NE(followed, platform::kNoFile);
        EXPECT_EQ(d.os.calls.back(), "OpenChild C:\\target\\keep.txt");
        d.os.CloseFile(followed);
        d.os.CloseFile(link);
    }
    EXPECT_EQ(d.os.OpenHandleCount(), 0u);
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
    os.volumes[u"E:"] = {platform::kDeviceDisk, platform::kVolumeRemovableMedia};
    os.AddDirectory(u"Z:\\");
    os.AddDirectory(u"E:\\");
    const std::pair<const char16_t*, std::uint32_t> drives[] = {
        {u"C:\\", 0}, {u"Z:\\", platform::kVolumeRemoteDevice}, {u"E:\\", platform::kVolumeRemovableMedia}};
    for (const auto& [drive, characteristics] : drives) {
        const platform::FileHandle root = os.OpenRoot(u"\\??\\" + std::u16string(drive), kRootOpen);
        EXPECT_EQ(os.QueryVolume(root)->characteristics, characteristics) << Narrow(drive);
        os.CloseFile(root);
    }
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

// FILE_NON_DIRECTORY_FILE refuses a plain directory, a junction and a directory link; a file
// link opens as itself, never as its target. A file open for writing without sharing takes no
// second open for data.
TEST(OpenChildFile, RefusesDirectoriesAndOpensAFileLinkItself) {
    struct Case {
        const char16_t* name;
        bool opens;
        std::uint32_t attributes;   // of the opened handle
    };
    const Case cases[] = {
        {u"file.txt", true, kAttributeArchive},
        {u"filelink", true, kAttributeArchive | platform::kAttributeReparsePoint},
        {u"empty", false, 0},
        {u"junction", false, 0},
        {u"dirlink", false, 0},
        {u"missing", false, 0},
    };
    for (const Case& c : cases) {
        LinkedDrive d;
        const platform::FileHandle root = d.os.OpenRoot(u"\\??\\C:\\", kRootOpen);
        const platform::FileHandle file = d.os.OpenChildFile(root, c.name, kReportOpen);
        EXPECT_EQ(file != platform::kNoFile, c.opens) << Narrow(c.name);
        if (file != platform::kNoFile) {
            EXPECT_EQ(d.os.QueryHandle(file)->attributes, c.attributes) << Narrow(c.name);
            EXPECT_EQ(d.os.OpenChildFile(root, c.name, kReportOpen), platform::kNoFile) << Narrow(c.name);
            EXPECT_EQ(d.os.lastError, kErrorSharingViolation) << Narrow(c.name);
            d.os.CloseFile(file);
        }
        d.os.CloseFile(root);
    }
}

// GetSecurityInfo through the handle: the owner, and the list with aliases as SIDs and rights
// as masks. FSCTL_GET_REPARSE_POINT: the link's target as an NT path, or relative as it was set.
TEST(ReadThroughTheHandle, OwnerListAndReparseData) {
    LinkedDrive d;
    d.os.Find(u"C:\\junction")->sddl = std::u16string(kUsersMayWriteSddl);
    const platform::FileHandle root = d.os.OpenRoot(u"\\??\\C:\\", kRootOpen);
    const platform::FileHandle junction = d.os.OpenChild(root, u"junction", kLevelOpen);
    const std::optional<platform::EntrySecurity> security = d.os.ReadSecurity(junction);
    ASSERT_TRUE(security);
    EXPECT_EQ(security->owner, kUserSid);
    ASSERT_EQ(security->list.size(), 3u);
    EXPECT_EQ(security->list[2].trustee, u"S-1-5-32-545");
    EXPECT_EQ(security->list[2].mask, 0x116u);
    EXPECT_EQ(security->list[0].mask, 0x1F01FFu);

    const std::optional<std::vector<std::uint8_t>> data = d.os.ReadReparseData(junction);
    ASSERT_TRUE(data);
    EXPECT_EQ(*data, ReparseBuffer(platform::kReparseTagMountPoint, u"C:\\target"));
    const platform::FileHandle file = d.os.OpenChild(root, u"file.txt", kLevelOpen);
    EXPECT_FALSE(d.os.ReadReparseData(file));
    EXPECT_EQ(d.os.lastError, kErrorNotAReparsePoint);
    for (const platform::FileHandle handle : {file, junction, root}) d.os.CloseFile(handle);
}

// What a file and a directory created with an empty given list inherit from one parent entry,
// under the ACE inheritance rules; each inherited entry carries ID.
TEST(NewObjectList, FollowsTheAceInheritanceRules) {
    struct Case {
        const char16_t* parent;
        const char16_t* file;
        const char16_t* directory;
    };
    const Case cases[] = {
        {u"(A;OI;FA;;;WD)", u"(A;ID;FA;;;WD)", u"(A;OIIOID;FA;;;WD)"},   // kept on a directory only to pass on
        {u"(A;OINP;FA;;;WD)", u"(A;ID;FA;;;WD)", u""},
        {u"(A;CI;FA;;;WD)", u"", u"(A;CIID;FA;;;WD)"},
        {u"(A;CINP;FA;;;WD)", u"", u"(A;ID;FA;;;WD)"},
        {u"(A;OICI;FA;;;WD)", u"(A;ID;FA;;;WD)", u"(A;OICIID;FA;;;WD)"},
        {u"(A;OICIIO;FR;;;WD)", u"(A;ID;FR;;;WD)", u"(A;OICIID;FR;;;WD)"},   // IO keeps it off the parent only
        {u"(A;OICIID;FR;;;WD)", u"(A;ID;FR;;;WD)", u"(A;OICIID;FR;;;WD)"},
        {u"(A;;FA;;;WD)", u"", u""},
        // Generic rights and trustees are mapped where the entry applies, kept where it passes on.
        {u"(A;OICI;GRGX;;;WD)", u"(A;ID;FRFX;;;WD)", u"(A;ID;FRFX;;;WD)(A;OICIIOID;GRGX;;;WD)"},
        {u"(A;OICIIO;GA;;;CO)", u"(A;ID;FA;;;SY)", u"(A;ID;FA;;;SY)(A;OICIIOID;GA;;;CO)"},
    };
    for (const Case& c : cases) {
        FakeWindows os;
        os.AddDirectory(u"C:\\parent");
        os.Find(u"C:\\parent")->sddl = u"D:" + std::u16string(c.parent);
        const platform::Descriptor descriptor = os.BuildDescriptor(u"D:");
        platform::SecurityAttributes security;
        security.descriptor = descriptor;
        const platform::FileHandle parent = OpenDirectory(os, u"C:\\parent");
        os.CloseFile(os.CreateChildFile(parent, u"file.txt", kReportMade, security));
        os.CloseFile(os.CreateChildDirectory(parent, u"dir", kMadeLevel, security));
        os.CloseFile(parent);
        os.FreeDescriptor(descriptor);
        EXPECT_EQ(os.Find(u"C:\\parent\\file.txt")->sddl, u"D:" + std::u16string(c.file)) << Narrow(c.parent);
        EXPECT_EQ(os.Find(u"C:\\parent\\dir")->sddl, u"D:" + std::u16string(c.directory)) << Narrow(c.parent);
    }
}

// Windows merges what the parent passes on into a given list unless it is protected: the
// report's list without P would let every user add files and folders to a directory it made
// under C:\ProgramData, and read a report file made there.
TEST(NewObjectList, MergesTheParentsEntriesUnlessTheGivenListIsProtected) {
    const std::u16string own = u"(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGX;;;AU)(A;OICI;GA;;;BA)";
    struct Case {
        std::u16string given;
        std::u16string file;
        std::u16string directory;
    };
    const Case cases[] = {
        {u"D:P" + own, u"D:P" + own, u"D:P" + own},
        {u"D:" + own, u"D:" + own + u"(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)",
         u"D:" + own +
             u"(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;ID;FA;;;SY)(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)"
             u"(A;CIID;0x116;;;BU)"},
    };
    for (const Case& c : cases) {
        FakeWindows os;
        os.AddDirectory(u"C:\\ProgramData");
        os.Find(u"C:\\ProgramData")->sddl = report::kProgramDataSddl;
        const platform::Descriptor descriptor = os.BuildDescriptor(c.given);
        platform::SecurityAttributes security;
        security.descriptor = descriptor;
        const platform::FileHandle parent = OpenDirectory(os, u"C:\\ProgramData");
        os.CloseFile(os.CreateChildFile(parent, u"report.txt", kReportMade, security));
        os.CloseFile(os.CreateChildDirectory(parent, u"new", kMadeLevel, security));
        os.CloseFile(parent);
        os.FreeDescriptor(descriptor);
        EXPECT_EQ(os.Find(u"C:\\ProgramData\\report.txt")->sddl, c.file) << Narrow(c.given);
        EXPECT_EQ(os.Find(u"C:\\ProgramData\\new")->sddl, c.directory) << Narrow(c.given);
    }
}

// A fault fails only the calls it names: by path (as resolved, case aside) and by count.
TEST(Faults, FailOnlyTheCallsTheyName) {
    FakeWindows os;
    os.faults.push_back(Fault("CreateChildFile").At(u"c:\\WORK\\a.txt"));
    os.faults.push_back(Fault("CreateChildDirectory").OnCall(2).WithError(kErrorDiskFull));
    const platform::FileHandle work = OpenDirectory(os, u"C:\\work");
    EXPECT_EQ(os.CreateChildFile(work, u"a.txt", kReportMade, {}), platform::kNoFile);
    EXPECT_EQ(os.lastError, kErrorAccessDenied);
    os.CloseFile(os.CreateChildFile(work, u"b.txt", kReportMade, {}));
    for (const char16_t* name : {u"d1", u"d2", u"d3"}) {
        const platform::FileHandle made = os.CreateChildDirectory(work, name, kMadeLevel, {});
        EXPECT_EQ(made != platform::kNoFile, name != std::u16string(u"d2")) << Narrow(name);
        if (made != platform::kNoFile) os.CloseFile(made);
    }
    os.CloseFile(work);
    EXPECT_FALSE(os.Exists(u"C:\\work\\a.txt"));
    EXPECT_FALSE(os.Exists(u"C:\\work\\d2"));
    EXPECT_EQ(os.injected,
              (std::vector<std::string>{"CreateChildFile C:\\work\\a.txt", "CreateChildDirectory C:\\work\\d2"}));
}

// WriteFile moves the file pointer by what it wrote, also when it fails part-way: those bytes
// stand in the file, over what was there, and nothing after them.
TEST(Faults, WriteThatFailsPartWayLeavesExactlyTheBytesWritten) {
    FakeWindows os;
    os.AddFile(u"C:\\work\\r.txt", "0123456789");
    os.faults.push_back(Fault("WriteBytes").AfterBytes(3).WithError(kErrorDiskFull));
    const platform::FileHandle work = OpenDirectory(os, u"C:\\work");
    const platform::FileHandle file = os.OpenChildFile(work, u"r.txt", kReportOpen);
    os.CloseFile(work);
    ASSERT_NE(file, platform::kNoFile);
    EXPECT_FALSE(os.WriteBytes(file, "ABCDEFGH", 8));
    EXPECT_EQ(os.lastError, kErrorDiskFull);
    EXPECT_EQ(os.Find(u"C:\\work\\r.txt")->content, "ABC3456789");
    EXPECT_TRUE(os.EndFileHere(file));
    EXPECT_EQ(os.Find(u"C:\\work\\r.txt")->content, "ABC");
    EXPECT_TRUE(os.RewindFile(file));
    EXPECT_TRUE(os.EndFileHere(file));
    EXPECT_EQ(os.Find(u"C:\\work\\r.txt")->content, "");
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
