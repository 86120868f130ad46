#include <gtest/gtest.h>

#include "packages/PresenceQuery.h"
#include "tests/unit/PackageFixture.h"
#include "tests/unit/TraceExpectations.h"

namespace packages {
namespace {

class PresenceQueryTest : public ::testing::Test, public PackageFixture {};

const std::string kFirstName = "C:\\Temp\\norv4c7d2a00-91e3-4b58-a6f2-3d05c1a2b.pkt";

TEST_F(PresenceQueryTest, PresentPackageFillsTheVersionAndLeavesNoReport) {
    store.packages[kId2] = {u"10.0.1.3"};
    EXPECT_EQ(QueryPackagePresence(os, kId2.c_str(), version), Presence::Present);
    EXPECT_EQ(version.Text(), u"10.0.1.3");
    ASSERT_EQ(os.commands.size(), 1u);
    EXPECT_EQ(os.commands[0], "powershell.exe Get-ProvisioningPackage -PackageId " + kId2 + " >" + kFirstName);
    EXPECT_EQ(os.applications[0], "C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe");
    EXPECT_EQ(LeftoverReports(), 0u);
}

TEST_F(PresenceQueryTest, UnknownPackageLeavesTheVersionAlone) {
    version.Assign(u"7.7");
    EXPECT_EQ(QueryPackagePresence(os, kId1.c_str(), version), Presence::NotReported);
    EXPECT_EQ(version.Text(), u"7.7");
    EXPECT_EQ(LeftoverReports(), 0u);
}

TEST_F(PresenceQueryTest, PresentWithoutVersionLabelLeavesTheVersionAlone) {
    version.Assign(u"7.7");
    store.rawReports[kId1] = model::Utf16Bytes(u"IsInstalled     : True\r\n");
    EXPECT_EQ(QueryPackagePresence(os, kId1.c_str(), version), Presence::Present);
    EXPECT_EQ(version.Text(), u"7.7");
}

// Every way the question itself can fail is "could not ask", never "not reported", and
// leaves no report behind.
TEST_F(PresenceQueryTest, QueriesThatCannotBeCarriedOut) {
    struct Case {
        const char* name;
        std::function<void(PackageFixture&)> arrange;
        bool commandRuns;
    };
    const Case cases[] = {
        {"no temp folder", [](PackageFixture& f) { f.os.tempFolder = ""; }, false},
        {"temp folder longer than the buffer", [](PackageFixture& f) { f.os.tempFolderResult = 300; }, false},
        {"report path would not fit",
         [](PackageFixture& f) { f.os.tempFolder = "C:\\" + std::string(230, 'a') + "\\"; }, false},
        {"report cannot be reserved", [](PackageFixture& f) {
             f.os.faults.push_back(model::Fault("ReserveFile:CreateFileA").WithError(model::kErrorPathNotFound));
         }, false},
        {"PowerShell cannot start", [](PackageFixture& f) { f.store.powershellMissing = true; }, true},
        {"PowerShell writes nothing", [](PackageFixture& f) { f.store.powershellSilent = true; }, true},
        {"report is not UTF-16LE",
         [](PackageFixture& f) { f.store.rawReports[kId1] = "IsInstalled     : True\r\n"; }, true},
        {"report vanished",
         [](PackageFixture& f) {
             f.os.onCommand = [](model::FakeWindows& system, const std::string&) {
                 system.entries.erase(*system.Resolve(model::Widen(kFirstName)));
                 return true;
             };
         },
         true},
        {"report swapped for a link",
         [](PackageFixture& f) {
             f.os.onCommand = [](model::FakeWindows& system, const std::string&) {
                 system.AddLink(model::Widen(kFirstName), platform::kReparseTagSymlink, u"C:\\secret", false);
                 return true;
             };
         },
         true},
    };
    for (const Case& c : cases) {
        PackageFixture f;
        f.store.packages[kId1] = {u"1.0"};
        c.arrange(f);
        EXPECT_EQ(QueryPackagePresence(f.os, kId1.c_str(), f.version), Presence::CouldNotAsk) << c.name;
        EXPECT_EQ(f.os.commands.size(), c.commandRuns ? 1u : 0u) << c.name;
        EXPECT_EQ(f.LeftoverReports(), 0u) << c.name;
        EXPECT_EQ(f.version.Text(), u"") << c.name;
    }
}

// The report is read whole into memory sized by the file, so its size is bounded: a report of
// the largest size is read, one byte more is not read at all.
TEST_F(PresenceQueryTest, ReportsUpToTheBoundAreReadLargerOnesCouldNotBeAsked) {
    std::string report = model::Utf16Bytes(u"IsInstalled     : True\r\nVersion         : 4.2\r\n");
    report.resize(kMaxReportBytes, ' ');
    for (const std::size_t extra : {0u, 1u}) {
        PackageFixture f;
        f.store.rawReports[kId1] = report + std::string(extra, ' ');
        EXPECT_EQ(QueryPackagePresence(f.os, kId1.c_str(), f.version),
                  extra == 0 ? Presence::Present : Presence::CouldNotAsk) << extra;
        EXPECT_EQ(f.version.Text(), extra == 0 ? u"4.2" : u"") << extra;
        EXPECT_EQ(f.LeftoverReports(), 0u) << extra;
    }
}

// Each question's trace event says what was concluded and why, with the size of the report read:
// an administrator tells "not installed" from "could not ask" without the temp file.
TEST_F(PresenceQueryTest, TraceSaysWhatTheQueryConcludedAndWhy) {
    struct Case {
        const char* name;
        std::function<void(PackageFixture&)> arrange;
        std::string answer;
        std::string reason;   // words the reason holds
        std::string bytes;
        std::string version;
    };
    std::string tooLarge = model::Utf16Bytes(u"IsInstalled     : True\r\n");
    tooLarge.resize(kMaxReportBytes + 1, ' ');
    const Case cases[] = {
        {"installed", [](PackageFixture& f) { f.store.packages[kId1] = {u"4.2"}; }, "reported", "True",
         std::to_string(model::SimulatedStore::Report(kId1, {u"4.2"}).size()), "4.2"},
        {"pending", [](PackageFixture& f) { f.store.packages[kId1] = {u"4.2", u"False"}; }, "reported", "pending",
         std::to_string(model::SimulatedStore::Report(kId1, {u"4.2", u"False"}).size()), "4.2"},
        {"unknown to the store", nullptr, "not reported", "no output", "2", ""},
        {"no IsInstalled line", [](PackageFixture& f) { f.store.rawReports[kId1] = model::Utf16Bytes(u"Other : 1\r\n"); },
         "not reported", "no IsInstalled line", "24", ""},
        {"PowerShell never wrote", [](PackageFixture& f) { f.store.powershellSilent = true; }, "could not ask",
         "marker", "25", ""},
        {"no byte-order mark", [](PackageFixture& f) { f.store.rawReports[kId1] = "IsInstalled     : True\r\n"; },
         "could not ask", "byte-order mark", "24", ""},
        {"too large", [&tooLarge](PackageFixture& f) { f.store.rawReports[kId1] = tooLarge; }, "could not ask",
         "larger", "0", ""},
        {"PowerShell cannot start", [](PackageFixture& f) { f.store.powershellMissing = true; }, "could not ask",
         "PowerShell could not be started", "0", ""},
    };
    for (const Case& c : cases) {
        PackageFixture f;
        if (c.arrange) c.arrange(f);
        QueryPackagePresence(f.os, kId1.c_str(), f.version);
        // One level per name: a question that could not be asked has its own.
        const bool failed = c.answer == "could not ask";
        const std::optional<model::RecordedEvent> queried =
            model::FirstEvent(f.os, failed ? "PackageQueryFailed" : "PackageQueried");
        ASSERT_TRUE(queried) << c.name;
        EXPECT_EQ(queried->Field("PackageId"), kId1) << c.name;
        EXPECT_EQ(queried->Field("Answer"), c.answer) << c.name;
        EXPECT_NE(queried->Field("Reason").value_or("").find(c.reason), std::string::npos) << c.name << ": "
                                                                                           << queried->Text();
        EXPECT_EQ(queried->Field("ReportBytes"), c.bytes) << c.name;
        EXPECT_EQ(queried->Field("Version"), c.version) << c.name;
        EXPECT_EQ(queried->level, failed ? platform::TraceLevel::Error : platform::TraceLevel::Information) << c.name;
    }
}

TEST_F(PresenceQueryTest, PlantedEntriesAreNeverReadNorTouched) {
    // A fake report and a link wait under the first two names; the query moves on to the third.
    const std::string planted = model::SimulatedStore::Report(kId1, {u"6.6.6"});
    os.AddFile(model::Widen(kFirstName), planted);
    const std::string secondName = "C:\\Temp\\norv4c7d2a00-91e3-4b58-a6f2-3d05c1a2c.pkt";
    os.AddLink(model::Widen(secondName), platform::kReparseTagSymlink, u"C:\\Windows\\win.ini", false);

    EXPECT_EQ(QueryPackagePresence(os, kId1.c_str(), version), Presence::NotReported);
    ASSERT_EQ(os.commands.size(), 1u);
    EXPECT_NE(os.commands[0].find("3d05c1a2d.pkt"), std::string::npos);
    EXPECT_EQ(os.TempFileContent(kFirstName), planted);
    EXPECT_TRUE(os.Find(model::Widen(secondName))->IsReparse());
}

TEST_F(PresenceQueryTest, GivesUpAfterBoundedCollisions) {
    os.randomNumbers.assign(64, 5);   // every draw names the same planted file
    os.AddFile(u"C:\\Temp\\norv4c7d2a00-91e3-4b58-a6f2-3d05c5.pkt", "planted");
    EXPECT_EQ(QueryPackagePresence(os, kId1.c_str(), version), Presence::CouldNotAsk);
    EXPECT_TRUE(os.commands.empty());
}

TEST_F(PresenceQueryTest, TempFolderWithBlankAndApostropheStillWorks) {
    os.AddDirectory(u"C:\\tmp dir");
    os.AddDirectory(u"C:\\tmp dir\\o'k");
    os.tempFolder = "C:\\tmp dir\\o'k\\";
    store.packages[kId1] = {u"2.5"};
    EXPECT_EQ(QueryPackagePresence(os, kId1.c_str(), version), Presence::Present);
    EXPECT_EQ(version.Text(), u"2.5");
    EXPECT_EQ(os.commands[0], "powershell.exe Get-ProvisioningPackage -PackageId " + kId1 +
                                  " >\"'C:\\tmp dir\\o''k\\norv4c7d2a00-91e3-4b58-a6f2-3d05c1a2b.pkt'\"");
    EXPECT_EQ(LeftoverReports(), 0u);
}

}  // namespace
}  // namespace packages
