#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "report/DirectoryChain.h"
#include "tests/unit/ReportFixture.h"

namespace report {
namespace {

using Calls = std::vector<std::string>;
using Paths = std::vector<std::u16string>;

// The paths the call asked to have removed, in order.
Paths RemoveRequests(const model::FakeWindows& os) {
    const std::string prefix = "RemoveEmptyDirectory ";
    Paths removed;
    for (const std::string& call : os.calls) {
        if (call.rfind(prefix, 0) == 0) removed.push_back(model::Widen(call.substr(prefix.size())));
    }
    return removed;
}

TEST(NextComponent, SkipsSeparatorRunsAndStepsPastTheEndingOne) {
    struct Case {
        const char16_t* path;
        std::int32_t position;
        const char16_t* component;
        std::int32_t next;
    };
    const Case cases[] = {
        {u"C:\\out\\sub", 0, u"C:", 3},
        {u"C:\\out\\sub", 3, u"out", 7},
        {u"C:\\out\\sub", 7, u"sub", 11},   // the length + 1 at the end
        {u"C:\\out\\", 3, u"out", 7},        // one trailing separator: the walk ends at the length
        {u"out\\\\\\", 4, u"", kPathExhausted},
        {u"a\\\\\\b", 1, u"b", 6},            // a doubled run counts as one
        {u"\\\\server\\share", 0, u"server", 9},
        {u"\\dir", 0, u"dir", 5},
        {u"\\\\\\", 0, u"", kPathExhausted},
        {u"C:/out/sub", 0, u"C:/out/sub", 11},   // a slash is part of the name
        {u"C:\\out/sub\\x", 3, u"out/sub", 11},
        {u"..\\x", 0, u"..", 3},
        {u"abc", 3, u"", kPathExhausted},
        {u"abc", 7, u"", kPathExhausted},
        {u"abc", -1, u"", kPathExhausted},
        {u"", 0, u"", kPathExhausted},
    };
    for (const Case& c : cases) {
        const Component component = NextComponent(c.path, c.position);
        EXPECT_EQ(component.text, std::u16string_view(c.component)) << model::Narrow(c.path) << " @" << c.position;
        EXPECT_EQ(component.next, c.next) << model::Narrow(c.path) << " @" << c.position;
    }
}

// The levels a walk queries, when every level exists: the drive alone, never with a
// backslash; separator runs collapsed; a trailing run adds one query ending in a backslash;
// leading backslashes kept, so UNC stays UNC and a rooted path stays rooted.
TEST(CreateDirectoryChain, QueriesEachLevelAsTheAccumulatedPath) {
    struct Case {
        const char16_t* path;
        Calls calls;
    };
    const Case cases[] = {
        {u"C:\\out", {"QueryAttributes C:", "QueryAttributes C:\\out"}},
        {u"C:\\out\\", {"QueryAttributes C:", "QueryAttributes C:\\out"}},
        {u"C:\\\\out", {"QueryAttributes C:", "QueryAttributes C:\\out"}},
        {u"C:\\out\\\\\\", {"QueryAttributes C:", "QueryAttributes C:\\out", "QueryAttributes C:\\out\\"}},
        {u"\\\\server\\share\\dir",
         {"QueryAttributes \\\\server", "QueryAttributes \\\\server\\share", "QueryAttributes \\\\server\\share\\dir"}},
        {u"\\out", {"QueryAttributes \\out"}},
        {u"\\", {"QueryAttributes \\"}},
        {u"C:\\out/sub\\x", {"QueryAttributes C:", "QueryAttributes C:\\out/sub", "QueryAttributes C:\\out/sub\\x"}},
        {u"work\\w2", {"QueryAttributes work", "QueryAttributes work\\w2"}},
    };
    for (const Case& c : cases) {
        ReportFixture f;
        for (const char16_t* level : {u"\\\\server\\share", u"\\\\server\\share\\dir", u"C:\\out\\sub",
                                      u"C:\\out\\sub\\x", u"C:\\work\\work", u"C:\\work\\work\\w2"}) {
            f.os.AddDirectory(level);
        }
        const ReportSecurity security(f.os);
        const auto before = f.Snapshot();
        EXPECT_EQ(CreateDirectoryChain(f.os, c.path, security.Attributes()), PathOk) << model::Narrow(c.path);
        EXPECT_EQ(f.os.calls, c.calls) << model::Narrow(c.path);
        EXPECT_EQ(f.Snapshot(), before) << model::Narrow(c.path);
    }
}

struct ChainCase {
    const char* name;
    std::u16string path;
    std::function<void(model::FakeWindows&)> arrange;
    PathCheckResult result;
    Paths made;      // directories left standing that the call created
    Paths removed;   // what the rollback asked to remove, in order
};

const ChainCase kChainCases[] = {
    {"empty path", u"", nullptr, PathOk, {}, {}},
    {"last level missing", u"C:\\out\\sub", nullptr, PathOk, {u"C:\\out\\sub"}, {}},
    {"several levels missing", u"C:\\a\\b\\c", nullptr, PathOk, {u"C:\\a", u"C:\\a\\b", u"C:\\a\\b\\c"}, {}},
    {"relative, under the current directory", u"new\\sub", nullptr, PathOk, {u"C:\\work\\new", u"C:\\work\\new\\sub"},
     {}},
    {"rooted, at the drive's root", u"\\new\\sub", nullptr, PathOk, {u"C:\\new", u"C:\\new\\sub"}, {}},
    {"UNC, server passed over", u"\\\\server\\share\\new",
     [](model::FakeWindows& os) { os.AddDirectory(u"\\\\server\\share"); }, PathOk, {u"\\\\server\\share\\new"}, {}},
    {"bad net path on any level is passed over", u"C:\\net\\x",
     [](model::FakeWindows& os) { os.badNetPaths.insert(u"C:\\net"); }, DirectoryCreateFailed, {}, {}},
    {"second creation fails: first one removed", u"C:\\new1\\new2",
     [](model::FakeWindows& os) { os.failCreate.insert(u"C:\\new1\\new2"); }, DirectoryCreateFailed, {},
     {u"C:\\new1"}},
    {"deep failure removes every level made, deepest first", u"C:\\out\\a\\b\\c",
     [](model::FakeWindows& os) { os.failCreate.insert(u"C:\\out\\a\\b\\c"); }, DirectoryCreateFailed, {},
     {u"C:\\out\\a\\b", u"C:\\out\\a"}},
    {"UNC rollback stays UNC", u"\\\\server\\share\\a\\b",
     [](model::FakeWindows& os) {
         os.AddDirectory(u"\\\\server\\share");
         os.failCreate.insert(u"\\\\server\\share\\a\\b");
     },
     DirectoryCreateFailed, {}, {u"\\\\server\\share\\a"}},
    {"first creation fails: nothing removed", u"C:\\new1\\new2",
     [](model::FakeWindows& os) { os.failCreate.insert(u"C:\\new1"); }, DirectoryCreateFailed, {}, {}},
    {"refused name is never removed", u"C:\\new1\\bad*name", nullptr, DirectoryCreateFailed, {}, {u"C:\\new1"}},
    {"backslashes only", u"\\\\\\", nullptr, DirectoryCreateFailed, {}, {}},
    {"slashes make one level: parent missing", u"C:/new/sub", nullptr, DirectoryCreateFailed, {}, {}},
    {"slashes make one level: parent there", u"C:/out/new", nullptr, PathOk, {u"C:\\out\\new"}, {}},
    {"plain file as the last level", u"C:\\out\\existing.txt", nullptr, PathOk, {}, {}},
    {"plain file on the way", u"C:\\out\\existing.txt\\sub", nullptr, DirectoryCreateFailed, {}, {}},
    {"other reparse point walked through", u"C:\\other\\sub", nullptr, PathOk, {u"C:\\other\\sub"}, {}},
    {"reparse point with tag 0 walked through", u"C:\\winelink\\sub", nullptr, PathOk, {u"C:\\winelink\\sub"}, {}},
    {"reparse point the search cannot find walked through", u"C:\\other\\sub",
     [](model::FakeWindows& os) { os.refusedSearches.insert(u"C:\\other"); }, PathOk, {u"C:\\other\\sub"}, {}},
    // Each level is removed under the path it was made under, ".." steps included.
    {"dot-dot: both levels made are removed", u"C:\\gone\\..\\new\\bad",
     [](model::FakeWindows& os) { os.failCreate.insert(u"C:\\new\\bad"); }, DirectoryCreateFailed, {},
     {u"C:\\gone\\..\\new", u"C:\\gone"}},
};

TEST(CreateDirectoryChain, CreatesMissingLevelsAndRollsBackItsOwn) {
    for (const ChainCase& c : kChainCases) {
        ReportFixture f;
        if (c.arrange) c.arrange(f.os);
        const ReportSecurity security(f.os);
        const auto before = f.Snapshot();
        EXPECT_EQ(CreateDirectoryChain(f.os, c.path, security.Attributes()), c.result) << c.name;
        EXPECT_EQ(RemoveRequests(f.os), c.removed) << c.name;
        for (const std::u16string& made : c.made) {
            const model::Entry* entry = f.At(made);
            ASSERT_NE(entry, nullptr) << c.name << ": " << model::Narrow(made);
            EXPECT_TRUE(entry->IsDirectory()) << c.name;
            EXPECT_EQ(entry->sddl, kReportSddl) << c.name;
            f.os.entries.erase(*f.os.Resolve(made));
        }
        EXPECT_EQ(f.Snapshot(), before) << c.name << ": only the listed directories were added";
        if (c.path.empty()) {
            EXPECT_TRUE(f.os.calls.empty());
        }
    }
}

// A bare server name is passed over only when its query answers ERROR_BAD_NETPATH, as for a
// server that cannot be found. For one that can, Windows does not document the code (Wine
// answers ERROR_BAD_DEV_TYPE): the walk then tries to create the server name itself, which
// fails, and nothing is made on the share.
TEST(CreateDirectoryChain, BareServerNameIsPassedOverOnlyOnBadNetPath) {
    struct Case {
        std::uint32_t answer;
        PathCheckResult result;
        Calls calls;
    };
    const Case cases[] = {
        {platform::kErrorBadNetPath, PathOk,
         {"QueryAttributes \\\\server", "QueryAttributes \\\\server\\share",
          "QueryAttributes \\\\server\\share\\new", "MakeDirectory \\\\server\\share\\new"}},
        {model::kErrorBadDevType, DirectoryCreateFailed, {"QueryAttributes \\\\server", "MakeDirectory \\\\server"}},
    };
    for (const Case& c : cases) {
        ReportFixture f;
        f.os.AddDirectory(u"\\\\server\\share");
        f.os.bareServerError = c.answer;
        const ReportSecurity security(f.os);
        EXPECT_EQ(CreateDirectoryChain(f.os, u"\\\\server\\share\\new", security.Attributes()), c.result)
            << c.answer;
        EXPECT_EQ(f.os.calls, c.calls) << c.answer;
        EXPECT_EQ(f.os.Exists(u"\\\\server\\share\\new"), c.result == PathOk) << c.answer;
    }
}

// A level that is a reparse point is refused when its tag marks a link to another named
// entity, whatever the link's kind; any other reparse point is walked through like a folder.
TEST(CreateDirectoryChain, RefusesEveryNameSurrogateTag) {
    struct Case {
        const char* name;
        std::uint32_t tag;
        PathCheckResult result;
    };
    const Case cases[] = {
        {"symbolic link", 0xA000000Cu, ReparsePointFound},
        {"mount point", 0xA0000003u, ReparsePointFound},
        {"another name surrogate (global reparse)", 0xA0000019u, ReparsePointFound},
        {"name surrogate outside Microsoft's range", 0x2000ABCDu, ReparsePointFound},
        {"deduplicated file", 0x80000013u, PathOk},
        {"cloud file", 0x9000001Au, PathOk},
        {"app execution alias", 0x8000001Bu, PathOk},
    };
    for (const Case& c : cases) {
        ReportFixture f;
        f.os.AddDirectory(u"C:\\tagged");
        f.os.Find(u"C:\\tagged")->reparseTag = c.tag;
        const ReportSecurity security(f.os);
        EXPECT_EQ(CreateDirectoryChain(f.os, u"C:\\tagged\\sub", security.Attributes()), c.result) << c.name;
        EXPECT_EQ(f.os.Exists(u"C:\\tagged\\sub"), c.result == PathOk) << c.name;
    }
}

// While the chain runs, another user plants something inside the first directory it made.
// The rollback removes only what this call made: a directory that holds a plant stays with
// it, and whatever a planted link leads to is untouched.
TEST(CreateDirectoryChain, RollbackRemovesOnlyItsOwnEmptyDirectories) {
    struct Case {
        const char* name;
        std::function<void(model::FakeWindows&, const std::u16string&)> plant;
        const char16_t* planted;   // nullptr: nothing planted
    };
    const Case cases[] = {
        {"directory link to a folder holding a file",
         [](model::FakeWindows& os, const std::u16string& at) {
             os.AddLink(at, platform::kReparseTagSymlink, u"C:\\victim", true);
         },
         u"C:\\data\\new\\planted"},
        {"junction to a folder holding a file",
         [](model::FakeWindows& os, const std::u16string& at) {
             os.AddLink(at, platform::kReparseTagMountPoint, u"C:\\victim", true);
         },
         u"C:\\data\\new\\planted"},
        {"plain file", [](model::FakeWindows& os, const std::u16string& at) { os.AddFile(at, "theirs"); },
         u"C:\\data\\new\\planted"},
        {"nothing planted", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        ReportFixture f;
        f.os.AddDirectory(u"C:\\data");
        f.os.AddDirectory(u"C:\\victim");
        f.os.AddFile(u"C:\\victim\\keep.txt", "keep");
        f.os.failCreate.insert(u"C:\\data\\new\\sub\\last");
        const auto before = f.Snapshot();
        f.os.beforeCall = [&c](model::FakeWindows& os, const std::string& operation, const std::u16string& path) {
            if (c.plant && operation == "MakeDirectory" && path == u"C:\\data\\new\\sub") c.plant(os, c.planted);
        };
        const ReportSecurity security(f.os);
        EXPECT_EQ(CreateDirectoryChain(f.os, u"C:\\data\\new\\sub\\last", security.Attributes()),
                  DirectoryCreateFailed)
            << c.name;
        EXPECT_EQ(RemoveRequests(f.os), (Paths{u"C:\\data\\new\\sub", u"C:\\data\\new"})) << c.name;
        EXPECT_EQ(f.At(u"C:\\victim\\keep.txt")->content, "keep") << c.name;
        if (c.planted != nullptr) {
            // The plant and the directory holding it are all that is new; nothing else changed.
            ASSERT_NE(f.At(c.planted), nullptr) << c.name;
            f.os.entries.erase(*f.os.Resolve(c.planted));
            ASSERT_NE(f.At(u"C:\\data\\new"), nullptr) << c.name;
            f.os.entries.erase(*f.os.Resolve(u"C:\\data\\new"));
        }
        EXPECT_EQ(f.Snapshot(), before) << c.name;
    }
}

// A link or junction at any level stops the walk there: nothing after it is queried or
// created, and nothing is deleted.
TEST(CreateDirectoryChain, RefusesLinksAndJunctionsAtAnyLevel) {
    struct Case {
        const char16_t* path;
        Calls calls;
    };
    const Case cases[] = {
        {u"C:\\junction\\sub\\x", {"QueryAttributes C:", "QueryAttributes C:\\junction", "FindEntry C:\\junction"}},
        {u"C:\\dirlink", {"QueryAttributes C:", "QueryAttributes C:\\dirlink", "FindEntry C:\\dirlink"}},
        {u"C:\\out\\filelink\\x",
         {"QueryAttributes C:", "QueryAttributes C:\\out", "QueryAttributes C:\\out\\filelink",
          "FindEntry C:\\out\\filelink"}},
        {u"C:\\out\\deep\\link\\x",
         {"QueryAttributes C:", "QueryAttributes C:\\out", "QueryAttributes C:\\out\\deep",
          "MakeDirectory C:\\out\\deep", "QueryAttributes C:\\out\\deep\\link", "FindEntry C:\\out\\deep\\link"}},
    };
    for (const Case& c : cases) {
        ReportFixture f;
        // A junction that appears inside a level this call has just made.
        f.os.beforeCall = [](model::FakeWindows& system, const std::string& operation, const std::u16string& path) {
            if (operation == "QueryAttributes" && path == u"C:\\out\\deep\\link") {
                system.AddLink(path, platform::kReparseTagMountPoint, u"C:\\Windows", true);
            }
        };
        const ReportSecurity security(f.os);
        EXPECT_EQ(CreateDirectoryChain(f.os, c.path, security.Attributes()), ReparsePointFound)
            << model::Narrow(c.path);
        EXPECT_EQ(f.os.calls, c.calls) << model::Narrow(c.path);
        EXPECT_TRUE(RemoveRequests(f.os).empty()) << model::Narrow(c.path);
    }
}

}  // namespace
}  // namespace report
