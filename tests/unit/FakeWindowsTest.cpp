#include <gtest/gtest.h>

#include <string>

#include "tests/model/FakeWindows.h"
#include "tests/unit/ReportFixture.h"

// The model's answers where they stand in for a documented Windows behaviour that the code's
// safety rests on: if the model were kinder than Windows, the tests above it would prove nothing.
namespace model {
namespace {

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

// RemoveDirectoryW removes an empty directory, and a junction or directory link as itself
// whatever its target holds; it never recurses and never touches a link's target.
TEST(RemoveEmptyDirectory, RemovesOnlyAnEmptyDirectoryOrALinkItself) {
    struct Case {
        const char16_t* path;
        bool removed;
        std::uint32_t error;
    };
    const Case cases[] = {
        {u"C:\\empty", true, 0},
        {u"C:\\full", false, kErrorDirNotEmpty},
        {u"C:\\junction", true, 0},
        {u"C:\\dirlink", true, 0},
        {u"C:\\filelink", false, kErrorDirectory},
        {u"C:\\file.txt", false, kErrorDirectory},
        {u"C:\\missing", false, kErrorFileNotFound},
        {u"C:\\junction\\..\\empty", true, 0},
    };
    for (const Case& c : cases) {
        LinkedDrive d;
        const std::size_t before = d.os.entries.size();
        const bool existed = d.os.Exists(c.path);
        EXPECT_EQ(d.os.RemoveEmptyDirectory(c.path), c.removed) << Narrow(c.path);
        EXPECT_EQ(d.os.entries.size(), c.removed ? before - 1 : before) << Narrow(c.path);
        EXPECT_EQ(d.os.Exists(c.path), existed && !c.removed) << Narrow(c.path);
        if (!c.removed) {
            EXPECT_EQ(d.os.lastError, c.error) << Narrow(c.path);
        }
        ASSERT_TRUE(d.os.Exists(u"C:\\target\\keep.txt")) << Narrow(c.path);
        EXPECT_EQ(d.os.Find(u"C:\\target\\keep.txt")->content, "keep") << Narrow(c.path);
    }
}

// CreateFileW without backup semantics gives no directory handle: a plain directory, a
// junction and a directory link are all refused with access denied. A file link opens as
// itself, never as its target.
TEST(OpenExisting, RefusesDirectoriesAndDirectoryLinksAndOpensAFileLinkItself) {
    struct Case {
        const char16_t* path;
        bool opens;
        std::uint32_t attributes;   // of the opened handle
    };
    const Case cases[] = {
        {u"C:\\file.txt", true, kAttributeArchive},
        {u"C:\\filelink", true, kAttributeArchive | platform::kAttributeReparsePoint},
        {u"C:\\empty", false, 0},
        {u"C:\\junction", false, 0},
        {u"C:\\dirlink", false, 0},
    };
    for (const Case& c : cases) {
        LinkedDrive d;
        const platform::FileHandle file =
            d.os.OpenExisting(c.path, platform::kGenericWrite | platform::kFileReadAttributes, {});
        EXPECT_EQ(file != platform::kNoFile, c.opens) << Narrow(c.path);
        if (file == platform::kNoFile) {
            EXPECT_EQ(d.os.lastError, kErrorAccessDenied) << Narrow(c.path);
            continue;
        }
        EXPECT_EQ(d.os.QueryHandle(file)->attributes, c.attributes) << Narrow(c.path);
        d.os.CloseFile(file);
    }
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
        ASSERT_TRUE(os.CreateNewFile(u"C:\\parent\\file.txt", security));
        ASSERT_TRUE(os.MakeDirectory(u"C:\\parent\\dir", security));
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
        ASSERT_TRUE(os.CreateNewFile(u"C:\\ProgramData\\report.txt", security));
        ASSERT_TRUE(os.MakeDirectory(u"C:\\ProgramData\\new", security));
        os.FreeDescriptor(descriptor);
        EXPECT_EQ(os.Find(u"C:\\ProgramData\\report.txt")->sddl, c.file) << Narrow(c.given);
        EXPECT_EQ(os.Find(u"C:\\ProgramData\\new")->sddl, c.directory) << Narrow(c.given);
    }
}

// A fault fails only the calls it names: by path (as resolved, case aside) and by count.
TEST(Faults, FailOnlyTheCallsTheyName) {
    FakeWindows os;
    os.faults.push_back(Fault("CreateNewFile").At(u"c:\\WORK\\a.txt"));
    os.faults.push_back(Fault("MakeDirectory").OnCall(2).WithError(kErrorDiskFull));
    EXPECT_FALSE(os.CreateNewFile(u"C:\\work\\a.txt", {}));
    EXPECT_EQ(os.lastError, kErrorAccessDenied);
    EXPECT_TRUE(os.CreateNewFile(u"C:\\work\\b.txt", {}));
    EXPECT_TRUE(os.MakeDirectory(u"C:\\d1", {}));
    EXPECT_FALSE(os.MakeDirectory(u"C:\\d2", {}));
    EXPECT_EQ(os.lastError, kErrorDiskFull);
    EXPECT_TRUE(os.MakeDirectory(u"C:\\d3", {}));
    EXPECT_FALSE(os.Exists(u"C:\\work\\a.txt"));
    EXPECT_FALSE(os.Exists(u"C:\\d2"));
    EXPECT_EQ(os.injected, (std::vector<std::string>{"CreateNewFile C:\\work\\a.txt", "MakeDirectory C:\\d2"}));
}

// WriteFile moves the file pointer by what it wrote, also when it fails part-way: those bytes
// stand in the file, over what was there, and nothing after them.
TEST(Faults, WriteThatFailsPartWayLeavesExactlyTheBytesWritten) {
    FakeWindows os;
    os.AddFile(u"C:\\work\\r.txt", "0123456789");
    os.faults.push_back(Fault("WriteBytes").AfterBytes(3).WithError(kErrorDiskFull));
    const platform::FileHandle file = os.OpenExisting(u"C:\\work\\r.txt", platform::kGenericWrite, {});
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
        EXPECT_TRUE(os.WriteRegistryString(key, u"Version", u"1.0"));
        EXPECT_EQ(os.RegistryString(key, u"Version"), u"0.9");
        EXPECT_TRUE(os.WriteRegistryString(u"SOFTWARE\\Other", u"Version", u"1.0"));
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
