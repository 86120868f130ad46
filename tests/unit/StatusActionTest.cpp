#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "launcher/Entry.h"
#include "launcher/ExitCodes.h"
#include "launcher/StatusAction.h"
#include "tests/unit/PackageFixture.h"
#include "tests/unit/TraceExpectations.h"

namespace launcher {
namespace {

using packages::kId1;
using packages::kId2;
using packages::PackageFixture;
using StepList = std::vector<std::string>;

const std::u16string kReportPath = u"C:\\work\\status.txt";

std::string Formatted(std::u16string_view version) {
    ReportText text;
    text.fill('x');   // the formatter must not rely on a cleared buffer
    FormatVersionLine(version, text);
    return std::string(TextOf(text));
}

TEST(FormatVersionLine, EachUnitBelow256IsOneByteAnyOtherEmptiesTheText) {
    struct Case {
        std::u16string version;
        std::string text;
    };
    const Case cases[] = {
        {u"10.0.1.3", "Version=10.0.1.3\n"},
        {u"", "Version=\n"},
        {u"1.\u00e9", "Version=1.\xE9\n"},
        {u"\u00ff\u0001", "Version=\xFF\x01\n"},
        {u"1.\u0100", ""},
        {u"\uFFFF1", ""},
        {u"\xD83D\xDE00", ""},   // a surrogate pair is two units above 255
        {std::u16string(u"1.0\0\u0100", 5), "Version=1.0\n"},   // the version ends at its NUL
        {std::u16string(254, u'9'), "Version=" + std::string(254, '9') + "\n"},   // the longest real one
        {std::u16string(1014, u'9'), "Version=" + std::string(1014, '9') + "\n"},   // 1023 bytes and the NUL
        {std::u16string(1015, u'9'), ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Formatted(c.version), c.text) << c.version.size() << " units";
}

class StatusActionTest : public ::testing::Test, public PackageFixture {
protected:
    std::optional<std::string> Report() {
        const model::Entry* entry = os.Find(kReportPath);
        return entry == nullptr ? std::nullopt : std::optional<std::string>(entry->content);
    }
};

TEST_F(StatusActionTest, TextsResultsAndQueryCounts) {
    struct Case {
        const char* name;
        std::function<void(PackageFixture&)> arrange;
        int result;
        StepList steps;
        std::string report;
    };
    const Case cases[] = {
        {"first reported", [](PackageFixture& f) { f.store.packages[kId1] = {u"10.0.1.3"}; }, 1,
         {"query 1", "query 1"}, "Version=10.0.1.3\n"},
        {"both reported: the first one's version",
         [](PackageFixture& f) {
             f.store.packages[kId1] = {u"1.1"};
             f.store.packages[kId2] = {u"2.2"};
         },
         1, {"query 1", "query 1"}, "Version=1.1\n"},
        {"only the second reported", [](PackageFixture& f) { f.store.packages[kId2] = {u"2.0"}; }, 1,
         {"query 1", "query 2", "query 1", "query 2"}, "Version=2.0\n"},
        {"neither reported", nullptr, 0, {"query 1", "query 2"}, "Not installed\n"},
        {"store cannot be asked", [](PackageFixture& f) { f.store.powershellMissing = true; }, 0,
         {"query 1", "query 2"}, "Not installed\n"},
        {"Latin-1 unit", [](PackageFixture& f) { f.store.packages[kId1] = {u"10.\u00e9"}; }, 1,
         {"query 1", "query 1"}, "Version=10.\xE9\n"},
        {"unit above 255", [](PackageFixture& f) { f.store.packages[kId1] = {u"10.\u0100"}; }, 1,
         {"query 1", "query 1"}, ""},
    };
    for (const Case& c : cases) {
        PackageFixture f;
        if (c.arrange) c.arrange(f);
        EXPECT_EQ(ReportStatus(f.os, f.version, kReportPath), c.result) << c.name;
        EXPECT_EQ(f.Steps(), c.steps) << c.name;
        const model::Entry* report = f.os.Find(kReportPath);
        ASSERT_NE(report, nullptr) << c.name;
        EXPECT_EQ(report->content, c.report) << c.name;
        EXPECT_EQ(f.LeftoverReports(), 0u) << c.name;
    }
}

TEST_F(StatusActionTest, PackageGoneBeforeTheSecondPassLeavesNoReport) {
    store.packages[kId1] = {u"10.0.1.3"};
    const auto playStore = os.onCommand;
    os.onCommand = [this, playStore](model::FakeWindows& system, const std::string& line) {
        const bool started = playStore(system, line);
        store.packages.clear();
        return started;
    };
    EXPECT_EQ(ReportStatus(os, version, kReportPath), 0);
    EXPECT_EQ(Steps(), (StepList{"query 1", "query 1", "query 2"}));
    EXPECT_EQ(Report(), std::nullopt);
}

TEST_F(StatusActionTest, EmptyPathAsksNothingAndWritesNothing) {
    store.packages[kId1] = {u"10.0.1.3"};
    EXPECT_EQ(ReportStatus(os, version, u""), 0);
    EXPECT_TRUE(os.commands.empty());
    EXPECT_TRUE(os.calls.empty());
}

// The result reaches the exit code whatever became of the file.
TEST_F(StatusActionTest, EntryTurnsTheResultIntoTheExitCode) {
    struct Case {
        const char* name = nullptr;
        const char16_t* commandLine = nullptr;
        bool installed = false;
        const char16_t* file = nullptr;
        std::optional<std::string> report;
        std::uint32_t exitCode = 0;
    };
    const Case cases[] = {
        {"installed", u"/getstatus C:\\work\\status.txt", true, u"C:\\work\\status.txt", "Version=3.1\n", ExitSuccess},
        {"not installed", u"/getstatus C:\\work\\status.txt", false, u"C:\\work\\status.txt", "Not installed\n",
         ExitFailure},
        {"quoted path with blanks", u"/getstatus \"C:\\work\\a b\\s t.txt\"", true, u"C:\\work\\a b\\s t.txt",
         "Version=3.1\n", ExitSuccess},
        {"bare name in the working directory", u"/getstatus status.txt", true, u"C:\\work\\status.txt",
         "Version=3.1\n", ExitSuccess},
        {"refused path", u"/getstatus C:\\work", true, u"C:\\work\\status.txt", std::nullopt, ExitSuccess},
    };
    for (const Case& c : cases) {
        PackageFixture f;
        if (c.installed) f.store.packages[kId1] = {u"3.1"};
        EXPECT_EQ(RunEntry(f.os, c.commandLine), c.exitCode) << c.name;
        const model::Entry* report = f.os.Find(c.file);
        EXPECT_EQ(report == nullptr ? std::nullopt : std::optional<std::string>(report->content), c.report) << c.name;
    }
}

// One platform failure per row of /getstatus for an installed 10.0.1.3. The exit code tells
// only whether the second pass reported a package: a query that fails counts as "not
// reported", and a report that could not be written changes nothing.
TEST(StatusEntry, EachPlatformFailureEndsAsDocumented) {
    using model::Fault;
    const std::u16string path = u"C:\\work\\status.txt";
    struct Case {
        Fault fault;
        std::uint32_t exitCode = 0;
        std::optional<std::string> report;
        bool reportsLeft = false;
    };
    const std::string version = "Version=10.0.1.3\n";
    const std::string notInstalled = "Not installed\n";
    const Case cases[] = {
        {Fault("SystemFolder"), ExitFailure, notInstalled},
        {Fault("RunHiddenCommand").OnCall(1), ExitFailure, notInstalled},
        {Fault("RunHiddenCommand").OnCall(2), ExitFailure, std::nullopt},   // the second pass
        {Fault("TempFolder"), ExitFailure, notInstalled},
        {Fault("ReserveFile:CreateFileA").WithError(model::kErrorPathNotFound), ExitFailure, notInstalled},
        {Fault("ReserveFile:WriteFile").AfterBytes(4), ExitFailure, notInstalled},
        {Fault("ReadWholeFile:CreateFileA").WithError(model::kErrorSharingViolation), ExitFailure, notInstalled},
        {Fault("ReadWholeFile:allocation").OnCall(2), ExitFailure, std::nullopt},
        {Fault("ReadWholeFile:ReadFile"), ExitFailure, notInstalled},
        {Fault("RemoveFile"), ExitSuccess, version, true},
        {Fault("BuildDescriptor"), ExitSuccess, std::nullopt},
        {Fault("QueryVolume"), ExitSuccess, std::nullopt},
        {Fault("CreateChildFile"), ExitSuccess, std::nullopt},
        // The new file made is removed again: nothing stands at the report's name.
        {Fault("QueryHandle").At(u"C:\\work").OnCall(2), ExitSuccess, std::nullopt},
        {Fault("WriteBytes").AfterBytes(12).WithError(model::kErrorDiskFull), ExitSuccess, std::nullopt},
        {Fault("RenameInto"), ExitSuccess, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::string name = c.fault.operation + " #" + std::to_string(c.fault.call);
        PackageFixture f;
        f.store.packages[kId1] = {u"10.0.1.3"};
        f.os.faults.push_back(c.fault);
        EXPECT_EQ(RunEntry(f.os, u"/getstatus " + path), c.exitCode) << name;
        const model::Entry* report = f.os.Find(path);
        EXPECT_EQ(report == nullptr ? std::nullopt : std::optional<std::string>(report->content), c.report) << name;
        EXPECT_FALSE(f.os.injected.empty()) << name;
        EXPECT_TRUE(model::ReportsFailure(f.os, c.fault)) << name;
        EXPECT_EQ(f.LeftoverReports() != 0, c.reportsLeft) << name;
        EXPECT_EQ(f.os.OpenHandleCount(), 0u) << name;
        EXPECT_EQ(f.os.LiveDescriptorCount(), 0u) << name;
    }
}

}  // namespace
}  // namespace launcher
