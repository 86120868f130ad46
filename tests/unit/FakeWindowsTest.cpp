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

}  // namespace
}  // namespace model
