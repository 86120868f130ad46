#include <gtest/gtest.h>

#include <string>

#include "tests/model/FakeWindows.h"

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

}  // namespace
}  // namespace model
