#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "report/PathChecks.h"
#include "tests/unit/ReportFixture.h"

namespace report {
namespace {

using namespace std::string_literals;
using Calls = std::vector<std::string>;

TEST(DirectoryPart, SplitsAtTheLastBackslashElseTheLastSlash) {
    struct Case {
        const char16_t* path = nullptr;
        std::optional<std::u16string> directory;
    };
    const Case cases[] = {
        {u"C:\\out\\report.txt", u"C:\\out"},
        {u"C:\\out/sub/report.txt", u"C:"},   // a backslash anywhere wins over every slash
        {u"out/sub/report.txt", u"out/sub"},
        {u"./report.txt", u"."},
        {u"\\report.txt", u""},
        {u"/report.txt", u""},
        {u"C:\\out\\", u"C:\\out"},
        {u"report.txt", std::nullopt},
        {u"", std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<std::u16string_view> directory = DirectoryPart(c.path);
        EXPECT_EQ(directory.has_value(), c.directory.has_value()) << model::Narrow(c.path);
        if (directory && c.directory) {
            EXPECT_EQ(*directory, *c.directory) << model::Narrow(c.path);
        }
    }
}

TEST(ClassifyFindRecord, ReadsTheTagOnlyWithTheReparseBit) {
    struct Case {
        std::optional<platform::FindRecord> record;
        PathCheckResult result = PathOk;
    };
    const Case cases[] = {
        {std::nullopt, EntryNotFound},
        {platform::FindRecord{0x20, 0}, EntryPlain},
        {platform::FindRecord{0x10, 0}, EntryPlain},
        {platform::FindRecord{0x20, platform::kReparseTagSymlink}, EntryPlain},   // stale tag, no bit
        {platform::FindRecord{0x420, platform::kReparseTagSymlink}, EntrySymlink},
        {platform::FindRecord{0x410, platform::kReparseTagSymlink}, EntrySymlink},
        {platform::FindRecord{0x410, platform::kReparseTagMountPoint}, EntryMountPoint},
        {platform::FindRecord{0x410, kOtherTag}, EntryPlain},
        {platform::FindRecord{0x410, 0}, EntryPlain},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClassifyFindRecord(c.record), c.result)
            << (c.record ? c.record->attributes : 0) << " " << (c.record ? c.record->reserved0 : 0);
    }
}

TEST(ClassifyPathEntry, TellsTheEntryItselfApartNotItsTarget) {
    struct Case {
        const char16_t* path;
        PathCheckResult result;
    };
    const Case cases[] = {
        {u"C:\\out\\missing.txt", EntryNotFound},
        {u"C:\\out\\existing.txt", EntryPlain},
        {u"C:\\out", EntryPlain},
        {u"C:\\junction", EntryMountPoint},
        {u"C:\\dirlink", EntrySymlink},
        {u"C:\\out\\filelink", EntrySymlink},
        {u"C:\\out\\dangling", EntrySymlink},
        {u"C:\\dirlink\\filelink", EntrySymlink},   // a link above is followed
        {u"C:\\other", EntryPlain},
        {u"C:\\winelink", EntryPlain},
    };
    for (const Case& c : cases) {
        ReportFixture f;
        const auto before = f.Snapshot();
        EXPECT_EQ(ClassifyPathEntry(f.os, c.path), c.result) << model::Narrow(c.path);
        EXPECT_EQ(f.Snapshot(), before) << model::Narrow(c.path);
        EXPECT_EQ(f.os.calls, (Calls{"FindEntry " + model::Narrow(c.path)}));
    }
}

// Each case names the calls in the order the check makes them: the first step that yields a
// code ends the check, and nothing is asked twice.
struct CheckCase {
    const char* name;
    std::u16string path;
    PathCheckResult result;
    Calls calls;
};

const CheckCase kCheckCases[] = {
    {"empty", u"", PathRejected, {}},
    {"directory, exactly 16", u"C:\\out", PathRejected, {"QueryAttributes C:\\out"}},
    {"read-only directory goes on", u"C:\\ro", PathOk, {"QueryAttributes C:\\ro", "QueryAttributes C:"}},
    {"archived directory goes on", u"C:\\arch", PathOk, {"QueryAttributes C:\\arch", "QueryAttributes C:"}},
    {"directory that is a mount point", u"C:\\junction", ReparsePointFound,
     {"QueryAttributes C:\\junction", "QueryAttributes C:"}},
    {"no separator", u"report.txt", PathRejected, {"QueryAttributes report.txt"}},
    {"empty directory part", u"\\report.txt", PathRejected, {"QueryAttributes \\report.txt"}},
    {"directory part missing", u"C:\\gone\\report.txt", PathRejected,
     {"QueryAttributes C:\\gone\\report.txt", "QueryAttributes C:\\gone"}},
    {"backslash wins: directory part is C:", u"C:\\out/sub/report.txt", FileCreateFailed,
     {"QueryAttributes C:\\out/sub/report.txt", "QueryAttributes C:", "CreateNewFile C:\\out/sub/report.txt"}},
    {"new file", u"C:\\out\\new.txt", PathOk,
     {"QueryAttributes C:\\out\\new.txt", "QueryAttributes C:\\out", "CreateNewFile C:\\out\\new.txt"}},
    {"new file in the current directory", u"./new.txt", PathOk,
     {"QueryAttributes ./new.txt", "QueryAttributes .", "CreateNewFile ./new.txt"}},
    {"existing file left untouched", u"C:\\out\\existing.txt", PathOk,
     {"QueryAttributes C:\\out\\existing.txt", "QueryAttributes C:\\out"}},
    {"parent is a mount point, new file", u"C:\\junction\\new.txt", ParentIsMountPoint,
     {"QueryAttributes C:\\junction\\new.txt", "QueryAttributes C:\\junction", "FindEntry C:\\junction"}},
    {"parent is a mount point, file exists", u"C:\\junction\\existing.txt", ParentIsMountPoint,
     {"QueryAttributes C:\\junction\\existing.txt", "QueryAttributes C:\\junction", "FindEntry C:\\junction"}},
    {"parent is a directory symlink", u"C:\\dirlink\\new.txt", PathOk,
     {"QueryAttributes C:\\dirlink\\new.txt", "QueryAttributes C:\\dirlink", "FindEntry C:\\dirlink",
      "CreateNewFile C:\\dirlink\\new.txt"}},
    {"symlink at the path", u"C:\\out\\filelink", ReparsePointFound,
     {"QueryAttributes C:\\out\\filelink", "QueryAttributes C:\\out"}},
    {"dangling symlink at the path", u"C:\\out\\dangling", ReparsePointFound,
     {"QueryAttributes C:\\out\\dangling", "QueryAttributes C:\\out"}},
    {"other reparse point at the path", u"C:\\out\\otherfile", ReparsePointFound,
     {"QueryAttributes C:\\out\\otherfile", "QueryAttributes C:\\out"}},
    {"file creation refused", u"C:\\out\\blocked.txt", FileCreateFailed,
     {"QueryAttributes C:\\out\\blocked.txt", "QueryAttributes C:\\out", "CreateNewFile C:\\out\\blocked.txt"}},
    // The system would see the path only up to its first NUL; so does the check.
    {"embedded NUL", u"C:\\out\\new.txt\0\\..\\..\\x"s, PathOk,
     {"QueryAttributes C:\\out\\new.txt", "QueryAttributes C:\\out", "CreateNewFile C:\\out\\new.txt"}},
};

TEST(CheckOutputPath, EveryCodeInStepOrder) {
    for (const CheckCase& c : kCheckCases) {
        ReportFixture f;
        f.os.failCreate.insert(u"C:\\out\\blocked.txt");
        const ReportSecurity security(f.os);
        const auto before = f.Snapshot();
        EXPECT_EQ(CheckOutputPath(f.os, c.path, security.Attributes()), c.result) << c.name;
        EXPECT_EQ(f.os.calls, c.calls) << c.name;
        // No failure leaves a file behind; success adds at most the one new file.
        if (c.result != PathOk) {
            EXPECT_EQ(f.Snapshot(), before) << c.name;
        }
        EXPECT_EQ(f.os.OpenHandleCount(), 0u) << c.name;
    }
}

// The search is refused on a folder the caller may not list, while the attribute query still
// shows a reparse point: a junction there cannot be told from a directory link, so neither
// is followed and nothing is created behind it.
TEST(CheckOutputPath, ReportFolderWhoseKindTheSearchCannotTellIsRefused) {
    for (const char16_t* folder : {u"C:\\junction", u"C:\\dirlink", u"C:\\other"}) {
        ReportFixture f;
        f.os.faults.push_back(model::Fault("FindEntry").At(folder));
        const ReportSecurity security(f.os);
        const auto before = f.Snapshot();
        EXPECT_EQ(CheckOutputPath(f.os, std::u16string(folder) + u"\\new.txt", security.Attributes()), ParentIsMountPoint)
            << model::Narrow(folder);
        EXPECT_EQ(f.Snapshot(), before) << model::Narrow(folder);
        EXPECT_EQ(f.os.injected.size(), 1u) << model::Narrow(folder);
    }
}

TEST(CheckOutputPath, CreatesTheMissingFileEmptyUnderTheGivenDescriptorOnce) {
    ReportFixture f;
    const ReportSecurity security(f.os);
    ASSERT_EQ(CheckOutputPath(f.os, u"./report.txt", security.Attributes()), PathOk);
    const model::Entry* created = f.At(u"C:\\work\\report.txt");
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->content, "");
    EXPECT_EQ(created->sddl, kReportSddl);
    EXPECT_FALSE(created->IsDirectory());

    // Inside a directory symlink the file lands at the link's target.
    ASSERT_EQ(CheckOutputPath(f.os, u"C:\\dirlink\\new.txt", security.Attributes()), PathOk);
    ASSERT_NE(f.os.entries.find(u"C:\\out\\new.txt"), f.os.entries.end());

    // Found the second time: neither created again nor changed.
    f.os.calls.clear();
    const auto before = f.Snapshot();
    EXPECT_EQ(CheckOutputPath(f.os, u"./report.txt", security.Attributes()), PathOk);
    EXPECT_EQ(f.os.calls, (Calls{"QueryAttributes ./report.txt", "QueryAttributes ."}));
    EXPECT_EQ(f.Snapshot(), before);
}

// A failed query of the whole path reads as "nothing there". When something is there after
// all (the query was refused, or a file stands where a directory is named), the create-new
// fails on it: 13, and nothing is changed.
TEST(CheckOutputPath, CreateNewNeverReplacesWhatAFailedQueryMissed) {
    struct Case {
        const char16_t* path;
        const char16_t* refusedQuery;
    };
    const Case cases[] = {
        {u"C:\\out\\existing.txt", u"C:\\out\\existing.txt"},
        {u"C:\\out\\existing.txt\\", nullptr},
        {u"C:\\out\\existing.txt\\x", nullptr},
    };
    for (const Case& c : cases) {
        ReportFixture f;
        const ReportSecurity security(f.os);
        if (c.refusedQuery != nullptr) f.os.badNetPaths.insert(c.refusedQuery);
        const auto before = f.Snapshot();
        EXPECT_EQ(CheckOutputPath(f.os, c.path, security.Attributes()), FileCreateFailed) << model::Narrow(c.path);
        EXPECT_EQ(f.Snapshot(), before) << model::Narrow(c.path);
    }
}

}  // namespace
}  // namespace report
