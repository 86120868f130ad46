#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Tracing.h"

namespace platform {
namespace {

// A place on the report path is shown as the Win32 path an administrator would type.
TEST(PathText, ShowsTheNtRootAsAWin32Path) {
    struct Case {
        std::u16string root;
        std::vector<std::u16string> names;
        std::u16string leaf;
        std::u16string text;
    };
    const Case cases[] = {
        {u"\\??\\C:\\", {}, u"", u"C:\\"},
        {u"\\??\\C:\\", {u"out", u"new"}, u"status.txt", u"C:\\out\\new\\status.txt"},
        {u"\\??\\UNC\\server\\share\\", {u"a"}, u"", u"\\\\server\\share\\a"},
        {u"\\??\\Volume{1b3c}\\", {}, u"x", u"\\\\?\\Volume{1b3c}\\x"},
        {u"C:\\out\\status.txt", {}, u"", u"C:\\out\\status.txt"},   // a path that never became a plan
    };
    for (const Case& c : cases) EXPECT_EQ(PathText(c.root, c.names, c.leaf), c.text);
}

}  // namespace
}  // namespace platform
