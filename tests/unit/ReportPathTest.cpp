#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "report/ReportPath.h"
#include "tests/model/FakeWindows.h"

namespace report {
namespace {

using model::Narrow;

TEST(AnchorBareFileName, PrefixesOnlyAPathWithoutAnySeparator) {
    struct Case {
        const char16_t* path;
        const char16_t* anchored;
    };
    const Case cases[] = {
        {u"status.txt", u"./status.txt"},
        {u"", u"./"},
        {u"out/status.txt", u"out/status.txt"},
        {u"out\\status.txt", u"out\\status.txt"},
        {u"C:status.txt", u"C:status.txt"},     // the current directory of drive C
        {u"1:status.txt", u"./1:status.txt"},
    };
    for (const Case& c : cases) EXPECT_EQ(AnchorBareFileName(c.path), c.anchored) << Narrow(c.path);
}

TEST(BaseOf, OnlyWhatIsNotFullyQualifiedNeedsADirectory) {
    struct Case {
        const char16_t* path;
        BaseKind kind;
        char16_t drive;
    };
    const Case cases[] = {
        {u"C:\\x\\r.txt", BaseKind::None, 0},      {u"c:/x/r.txt", BaseKind::None, 0},
        {u"\\\\s\\sh\\r.txt", BaseKind::None, 0},  {u"\\\\?\\C:\\r.txt", BaseKind::None, 0},
        {u"\\??\\C:\\r.txt", BaseKind::None, 0},   {u"x\\r.txt", BaseKind::CurrentDirectory, 0},
        {u"\\x\\r.txt", BaseKind::CurrentDirectory, 0}, {u"d:x\\r.txt", BaseKind::DriveDirectory, u'D'},
    };
    for (const Case& c : cases) {
        const Base base = BaseOf(c.path);
        EXPECT_EQ(base.kind, c.kind) << Narrow(c.path);
        EXPECT_EQ(base.drive, c.drive) << Narrow(c.path);
    }
}

// A level is written as its name, then "*" when a missing one may be made and "'" when it lies
// in the file part (after the split). No plan at all is written as an empty root.
std::vector<std::u16string> Describe(const std::vector<PathLevel>& levels) {
    std::vector<std::u16string> out(levels.size());
    std::transform(levels.begin(), levels.end(), out.begin(), [](const PathLevel& level) {
        return level.name + (level.creatable ? u"*" : u"") + (level.inDirectoryPart ? u"" : u"'");
    });
    return out;
}

// How Windows reads a path, and which of its folders the report has always been allowed to
// make: only the levels a backslash (or the end of the directory part) ends.
TEST(PlanReportPath, ReadsThePathAsWindowsDoes) {
    struct Case {
        std::u16string path;
        std::u16string root;   // empty: refused
        std::vector<std::u16string> levels;
        std::u16string file;
        std::u16string base = u"C:\\work";
    };
    const std::u16string c = u"\\??\\C:\\";
    const Case cases[] = {
        {u"C:\\out\\sub\\r.txt", c, {u"out*", u"sub*"}, u"r.txt"},
        {u"c:\\out\\r.txt", c, {u"out*"}, u"r.txt"},
        // Forward slashes separate levels, but only what a backslash or the folder's end closes is made.
        {u"C:/out/sub/r.txt", c, {u"out", u"sub*"}, u"r.txt"},
        {u"C:\\out/sub\\x\\r.txt", c, {u"out", u"sub*", u"x*"}, u"r.txt"},
        {u"C:\\out\\reports/new/r.txt", c, {u"out*", u"reports", u"new*"}, u"r.txt"},
        {u"C:/out//r.txt", c, {u"out*"}, u"r.txt"},
        {u"C:\\a\\b//c\\r.txt", c, {u"a*", u"b", u"c*"}, u"r.txt"},
        {u"C:\\a/\\b//c/r.txt", c, {u"a*", u"b", u"c*"}, u"r.txt"},
        // Each backslash part is made as the system resolves it whole: the level it leaves on top.
        {u"new/.\\r.txt", c, {u"work", u"new*"}, u"r.txt"},
        {u"C:\\a/b/..\\c\\r.txt", c, {u"a*", u"c*"}, u"r.txt"},
        // Doubled separators add no level; a folder part with a trailing one is the folder.
        {u"C:\\\\out\\\\\\r.txt", c, {u"out*"}, u"r.txt"},
        {u"C:\\cf\\\\r.txt", c, {u"cf*"}, u"r.txt"},
        // Relative, drive-relative and rooted paths, from the directory they need.
        {u"./r.txt", c, {u"work"}, u"r.txt"},
        {u"out\\r.txt", c, {u"work", u"out*"}, u"r.txt"},
        {u"..\\r.txt", c, {}, u"r.txt"},
        {u"..\\..\\..\\r.txt", c, {}, u"r.txt"},
        {u"\\new\\r.txt", c, {u"new*"}, u"r.txt"},
        {u"C:new\\r.txt", c, {u"work", u"new*"}, u"r.txt"},
        {u"C:r.txt", c, {u"work"}, u"r.txt"},
        {u"D:r.txt", u"\\??\\D:\\", {}, u"r.txt", u"D:\\"},
        {u"C:..\\r.txt", c, {}, u"r.txt"},
        {u"D:new\\r.txt", u"\\??\\D:\\", {u"new*"}, u"r.txt", u"D:\\"},
        {u"out\\r.txt", u"\\??\\UNC\\srv\\sh\\", {u"w", u"out*"}, u"r.txt", u"\\\\srv\\sh\\w"},
        {u"\\new\\r.txt", u"\\??\\UNC\\srv\\sh\\", {u"new*"}, u"r.txt", u"\\\\srv\\sh\\w"},
        // Shares and device paths: the share is the root, never eaten into by "..".
        {u"\\\\server\\share\\a\\r.txt", u"\\??\\UNC\\server\\share\\", {u"a*"}, u"r.txt"},
        {u"//server/share/a/r.txt", u"\\??\\UNC\\server\\share\\", {u"a*"}, u"r.txt"},
        {u"\\\\server\\share\\..\\..\\r.txt", u"\\??\\UNC\\server\\share\\", {}, u"r.txt"},
        {u"\\\\.\\C:\\a\\..\\b\\r.txt", c, {u"b*"}, u"r.txt"},
        {u"\\\\.\\UNC\\server\\share\\r.txt", u"\\??\\UNC\\server\\share\\", {}, u"r.txt"},
        {u"\\\\?\\C:\\a\\r.txt", c, {u"a*"}, u"r.txt"},
        {u"\\??\\C:\\a\\r.txt", c, {u"a*"}, u"r.txt"},
        {u"\\\\?\\UNC\\server\\share\\a\\r.txt", u"\\??\\UNC\\server\\share\\", {u"a*"}, u"r.txt"},
        {u"\\\\?\\Volume{1234}\\a\\r.txt", u"\\??\\Volume{1234}\\", {u"a*"}, u"r.txt"},
        // Only \\?\ exactly skips normalisation: names stand as they are, and a bad one is refused.
        {u"\\\\?\\C:\\a.\\r.txt. ", c, {u"a.*"}, u"r.txt. "},
        {u"\\\\?\\C:\\a/b\\r.txt", u"", {}, u""},
        {u"\\\\?\\C:\\a\\..\\r.txt", u"", {}, u""},
        {u"\\\\?\\C:\\a\\\\r.txt", u"", {}, u""},
        {u"\\\\?\\C:", u"", {}, u""},
        {u"\\\\.\\pipe\\r", u"", {}, u""},
        {u"\\\\server\\r.txt", u"", {}, u""},
        {u"\\\\server\\share/r.txt", u"\\??\\UNC\\server\\share\\", {}, u"r.txt"},
        {u"\\\\server/r.txt", u"", {}, u""},   // the directory part is the server alone
        // "." and "..": a level that ".." leaves is no level at all.
        {u"C:\\out\\sub\\..\\r.txt", c, {u"out*"}, u"r.txt"},
        {u"C:\\gone\\..\\new\\r.txt", c, {u"new*"}, u"r.txt"},
        {u"C:\\a\\b\\../r.txt", c, {u"a*"}, u"r.txt"},
        // Trimmed ends: the last name loses its periods and spaces, others one period.
        {u"C:\\out\\r.txt. .", c, {u"out*"}, u"r.txt"},
        {u"C:\\out.\\r.txt", c, {u"out*"}, u"r.txt"},
        {u"C:\\out..\\r.txt", c, {u"out..*"}, u"r.txt"},
        {u"C:\\...\\r.txt", c, {u"...*"}, u"r.txt"},
        {u"C:\\out \\r.txt", c, {u"out *"}, u"r.txt"},
        // What names no file is refused before anything is made.
        {u"C:\\out\\", u"", {}, u""},
        {u"C:\\out\\..", u"", {}, u""},
        {u"C:\\out\\.", u"", {}, u""},
        {u"C:\\out\\...", u"", {}, u""},
        {u"\\r.txt", u"", {}, u""},
        {u"/r.txt", u"", {}, u""},
        {u"r.txt", u"", {}, u""},
        // Devices are no files, and a stream is no folder.
        {u"C:\\out\\nul", u"", {}, u""},
        {u"C:\\out\\Con.txt", u"", {}, u""},
        {u"C:\\out\\lpt1 .log", u"", {}, u""},
        {u"C:\\aux\\r.txt", u"", {}, u""},
        {u"C:\\com10\\conin.txt", c, {u"com10*"}, u"conin.txt"},
        {u"C:\\a:b\\r.txt", u"", {}, u""},
        {u"C:\\a\\r.txt:s", u"", {}, u""},
        {u"C:\\out\\:x", u"", {}, u""},
        {u"C:", u"", {}, u""},
        {u"C:.", u"", {}, u""},
    };
    for (const Case& test : cases) {
        const std::optional<ReportPlan> plan = PlanReportPath(test.path, test.base);
        const std::string name = Narrow(test.path);
        ASSERT_EQ(plan.has_value(), !test.root.empty()) << name;
        if (!plan) continue;
        EXPECT_EQ(plan->root, test.root) << name;
        EXPECT_EQ(Describe(plan->levels), test.levels) << name;
        EXPECT_EQ(plan->file, test.file) << name;
    }
}

// Both separators read alike, the split between folder and file included: each path with a
// forward slash plans exactly as its backslash form, and one ending in "." or ".." after a slash
// names no file.
TEST(PlanReportPath, AForwardSlashReadsAsABackslash) {
    const char16_t* const paths[] = {
        u"C:\\v/.", u"C:\\Org\\x/r.txt/..", u"\\Org/status.txt", u"/Org/status.txt", u"\\\\srv\\share/v",
        u"C:\\Org/status.txt", u"C:/Org/status.txt", u"C:\\Org/Logs/..", u"Org/status.txt",
    };
    for (const char16_t* path : paths) {
        std::u16string backslashed = path;
        std::replace(backslashed.begin(), backslashed.end(), u'/', u'\\');
        const std::optional<ReportPlan> slashed = PlanReportPath(path, u"C:\\work");
        const std::optional<ReportPlan> plain = PlanReportPath(backslashed, u"C:\\work");
        ASSERT_EQ(slashed.has_value(), plain.has_value()) << Narrow(path);
        if (!plain) continue;
        EXPECT_EQ(slashed->root, plain->root) << Narrow(path);
        EXPECT_EQ(Describe(slashed->levels), Describe(plain->levels)) << Narrow(path);
        EXPECT_EQ(slashed->file, plain->file) << Narrow(path);
    }
}

// Without \\?\ a path holds at most 259 units, and a folder is made only while its path is
// shorter than 248.
TEST(PlanReportPath, KeepsTheWin32LengthLimits) {
    const std::u16string folder = u"C:\\" + std::u16string(244, u'd');   // 247 units
    const std::optional<ReportPlan> fits = PlanReportPath(folder + u"\\" + std::u16string(11, u'f'), {});
    ASSERT_TRUE(fits);
    EXPECT_TRUE(fits->levels[0].creatable);
    const std::optional<ReportPlan> longer = PlanReportPath(folder + u"d\\r.txt", {});
    ASSERT_TRUE(longer);
    EXPECT_FALSE(longer->levels[0].creatable);
    EXPECT_FALSE(PlanReportPath(folder + u"\\" + std::u16string(12, u'f'), {}));   // 260 units
    EXPECT_TRUE(PlanReportPath(u"\\\\?\\C:\\" + std::u16string(300, u'd') + u"\\r.txt", {}));
}

// A root's MS-DOS device name, and whether the link it stands for names a device alone: only a
// volume of its own does; a substituted folder, a share below a redirector and anything else do not.
TEST(RootDeviceName, AndTheLinksThatNameAVolume) {
    const std::pair<const char16_t*, const char16_t*> names[] = {
        {u"\\??\\C:\\", u"C:"},
        {u"\\??\\Volume{42}\\", u"Volume{42}"},
        {u"\\??\\UNC\\srv\\sh\\", u""},
        {u"\\??\\unc\\srv\\sh\\", u""},
        {u"\\??\\", u""},
        {u"C:\\", u""},
    };
    for (const auto& [root, name] : names) EXPECT_EQ(RootDeviceName(root), name) << Narrow(root);
    const std::pair<const char16_t*, bool> links[] = {
        {u"\\Device\\HarddiskVolume3", true},
        {u"\\device\\CdRom0", true},   // a volume of its own; the volume's answer refuses it later
        {u"\\??\\C:\\work", false},    // subst
        {u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\srv\\share", false},
        {u"\\Device\\Mup\\;WebDavRedirector\\srv\\DavWWWRoot", false},
        {u"\\Device\\HarddiskVolume3\\", false},
        {u"\\Device\\", false},
        {u"\\Device\\a/b", false},
        {u"\\DosDevices\\C:", false},
        {u"", false},
    };
    for (const auto& [link, alone] : links) EXPECT_EQ(NamesADeviceAlone(link), alone) << Narrow(link);
}

}  // namespace
}  // namespace report
