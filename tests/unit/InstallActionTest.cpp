#include <gtest/gtest.h>

#include <algorithm>

#include "launcher/Entry.h"
#include "launcher/ExitCodes.h"
#include "launcher/InstallAction.h"
#include "tests/unit/PackageFixture.h"
#include "tests/unit/TraceExpectations.h"

namespace launcher {
namespace {

using packages::kId1;
using packages::kId2;
using StepList = std::vector<std::string>;

class InstallActionTest : public ::testing::Test, public packages::PackageFixture {};

TEST_F(InstallActionTest, FreshInstallRecordsTheReportedVersion) {
    store.applies[kId1] = {u"1.0.2"};
    EXPECT_EQ(RunInstall(os, version), ExitPass);
    EXPECT_EQ(Steps(), (StepList{"remove 1", "query 1", "remove 2", "query 2", "query 1", "query 2", "provtool",
                              "query 1"}));
    EXPECT_EQ(os.commands[6], "C:\\Windows\\System32\\provtool.exe Norv_CML_PPM_Package.ppkg /quiet");
    EXPECT_EQ(os.applications[6], "C:\\Windows\\system32\\provtool.exe");
    const model::RegistryValue& value = os.registry[u"SOFTWARE\\NORV\\Quorrant\\Selvond"][u"Version"];
    EXPECT_EQ(value.type, 1u);   // REG_SZ
    EXPECT_EQ(value.bytes, (std::vector<std::uint8_t>{'1', 0, '.', 0, '0', 0, '.', 0, '2', 0, 0, 0}));
    EXPECT_EQ(LeftoverReports(), 0u);
}

TEST_F(InstallActionTest, OnlyTheSecondIdentifierReportedRecordsItsVersion) {
    store.applies[kId2] = {u"2.0.0"};
    EXPECT_EQ(RunInstall(os, version), ExitPass);
    EXPECT_EQ(Steps(), (StepList{"remove 1", "query 1", "remove 2", "query 2", "query 1", "query 2", "provtool",
                              "query 1", "query 2"}));
    EXPECT_EQ(Record(), u"2.0.0");
}

TEST_F(InstallActionTest, SurvivingPackageIsRecordedWithoutRunningTheTool) {
    const std::u16string values[] = {u"True", u"False"};
    for (const std::u16string& installed : values) {
        PackageFixture f;
        f.store.packages[kId1] = {u"3.1", installed, false};
        f.store.applies[kId1] = {u"9.9"};
        EXPECT_EQ(RunInstall(f.os, f.version), ExitPass);
        EXPECT_EQ(f.Steps(), (StepList{"remove 1", "query 1", "remove 2", "query 2", "query 1"}));
        EXPECT_EQ(f.Record(), u"3.1");
    }
}

// The removal deletes the old record once the store confirms the package gone; a failed
// install writes none in its place. Without answers from the store the old one stays.
TEST_F(InstallActionTest, FailuresWriteNoRecord) {
    struct Case {
        const char* name;
        std::function<void(packages::PackageFixture&)> arrange;
        std::optional<std::u16string> record;
    };
    const Case cases[] = {
        {"tool missing", [](packages::PackageFixture& f) { f.store.provtoolMissing = true; }, std::nullopt},
        {"package applies nothing", [](packages::PackageFixture& f) { f.store.applies.clear(); }, std::nullopt},
        {"PowerShell missing", [](packages::PackageFixture& f) { f.store.powershellMissing = true; }, u"0.9"},
    };
    for (const Case& c : cases) {
        PackageFixture f;
        f.SeedRecord(u"0.9");
        f.store.packages[kId1] = {u"0.9"};
        f.store.applies[kId1] = {u"1.0"};
        c.arrange(f);
        EXPECT_EQ(RunInstall(f.os, f.version), ExitFail) << c.name;
        EXPECT_EQ(f.Record(), c.record) << c.name;
        EXPECT_EQ(f.LeftoverReports(), 0u) << c.name;
    }
}

TEST_F(InstallActionTest, RecordProblemsNeverTurnSuccessIntoFailure) {
    {
        PackageFixture f;
        f.os.faults.emplace_back("WriteRegistryString:RegCreateKeyExW");
        f.store.applies[kId1] = {u"1.0.2"};
        EXPECT_EQ(RunInstall(f.os, f.version), ExitPass);
        EXPECT_FALSE(f.RecordKeyExists());
    }
    {
        PackageFixture f;
        f.SeedRecord(u"0.9");
        f.store.applies[kId1] = {u""};
        EXPECT_EQ(RunInstall(f.os, f.version), ExitPass);
        EXPECT_FALSE(f.RecordKeyExists());   // the removal deleted it and an empty version writes none
    }
}

TEST_F(InstallActionTest, EntryInstallsForAnythingButTheKeywords) {
    const char16_t* lines[] = {u"", u"/UNINSTALL", u"/uninstall:", u"/uninstall a b", u"/getstatus a b",
                               u"C:\\some\\program.exe"};
    for (const char16_t* line : lines) {
        PackageFixture f;
        f.store.applies[kId1] = {u"1.0"};
        EXPECT_EQ(RunEntry(f.os, line), ExitPass);
        EXPECT_EQ(f.Steps().size(), 8u);
    }
}

TEST_F(InstallActionTest, EntryUninstallAnswersZeroOrOne) {
    {
        PackageFixture f;
        f.store.packages[kId1] = {u"1.0"};
        EXPECT_EQ(RunEntry(f.os, u"/uninstall ignored"), ExitSuccess);
        EXPECT_EQ(f.Steps(), (StepList{"remove 1", "query 1", "remove 2", "query 2"}));
    }
    {
        PackageFixture f;
        f.store.packages[kId1] = {u"1.0", u"True", false};
        EXPECT_EQ(RunEntry(f.os, u"/uninstall"), ExitFailure);
    }
}

// The trace of an install tells its story in order: the removals, the questions before the
// tool, the tool with the exit code it left (recorded, never trusted), the questions after it,
// the verdict and the exit code. The same tool exit code ends in PASS or FAIL by the store alone.
TEST_F(InstallActionTest, TraceTellsTheInstallStepByStep) {
    struct Case {
        const char* name;
        bool applies;
        std::uint32_t toolExitCode;
        std::string toolExitText;
        std::vector<std::string> after;   // the Information and Error events after the tool's start
        std::string exitCode;
    };
    const Case cases[] = {
        {"tool says success, nothing reported", false, 0, "0x00000000",
         {"ChildProcess", "ChildProcess", "PackageQueried", "ChildProcess", "PackageQueried", "InstallFailed", "Exit"},
         "0x4641494C"},
        {"tool says failure, package reported", true, 0x80070002u, "0x80070002",
         {"ChildProcess", "ChildProcess", "PackageQueried", "VersionRecordWritten", "Exit"}, "0x50415353"},
    };
    for (const Case& c : cases) {
        PackageFixture f;
        if (c.applies) f.store.applies[kId1] = {u"1.0.2"};
        f.os.childExitCode = c.toolExitCode;
        RunEntry(f.os, u"");
        std::vector<std::string> steps;
        for (const model::RecordedEvent& event : f.os.events) {
            if (event.level != platform::TraceLevel::Verbose) steps.push_back(event.name);
        }
        // Each removal and each question is a child process of its own, then the question's answer.
        StepList expected = {"ActionChosen",   "RemovingPackage", "ChildProcess",         "ChildProcess",
                             "PackageQueried", "RemovingPackage", "ChildProcess",         "ChildProcess",
                             "PackageQueried", "VersionRecordDeleted", "ChildProcess",    "PackageQueried",
                             "ChildProcess",   "PackageQueried",  "ApplyingPackage"};
        expected.insert(expected.end(), c.after.begin(), c.after.end());
        EXPECT_EQ(steps, expected) << c.name << "\n" << f.os.EventLog();

        const std::vector<model::RecordedEvent> children = model::EventsNamed(f.os, "ChildProcess");
        const auto tool = std::find_if(children.begin(), children.end(), [](const model::RecordedEvent& event) {
            return event.Field("Application") == "C:\\Windows\\system32\\provtool.exe";
        });
        ASSERT_NE(tool, children.end()) << c.name;
        EXPECT_EQ(tool->Field("CommandLine"), "C:\\Windows\\System32\\provtool.exe Norv_CML_PPM_Package.ppkg /quiet");
        EXPECT_EQ(tool->Field("Wait"), "ended") << c.name;
        EXPECT_NE(tool->Field("ProcessId"), "0") << c.name;
        EXPECT_EQ(tool->Field("ExitCode"), c.toolExitText) << c.name;
        EXPECT_EQ(model::EventsNamed(f.os, "Exit").back().Field("ExitCode"), c.exitCode) << c.name;
    }
}

// The action and the argument count as the split answered them; a split that fails is an error
// of its own and installs.
TEST_F(InstallActionTest, TraceNamesTheActionAndTheArgumentCount) {
    struct Case {
        const char16_t* commandLine;
        bool splitFails;
        const char* action;
        const char* arguments;
    };
    const Case cases[] = {
        {u"", false, "install", "1"},   // the program's own path
        {u"/uninstall", false, "uninstall", "1"},
        {u"/getstatus C:\\out\\s.txt", false, "getstatus", "2"},
        {u"/getstatus a b", false, "install", "3"},
        {u"/uninstall", true, "install", "0"},
    };
    for (const Case& c : cases) {
        PackageFixture f;
        f.os.AddDirectory(u"C:\\out");
        if (c.splitFails) f.os.faults.emplace_back("SplitCommandLine");
        RunEntry(f.os, c.commandLine);
        const std::optional<model::RecordedEvent> chosen = model::FirstEvent(f.os, "ActionChosen");
        ASSERT_TRUE(chosen) << model::Narrow(c.commandLine);
        EXPECT_EQ(chosen->Field("Action"), c.action) << model::Narrow(c.commandLine);
        EXPECT_EQ(chosen->Field("Arguments"), c.arguments) << model::Narrow(c.commandLine);
        EXPECT_EQ(model::FirstEvent(f.os, "CallFailed").has_value(), c.splitFails) << model::Narrow(c.commandLine);
    }
}

const std::u16string kPowerShell = u"C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe";
const std::u16string kProvtool = u"C:\\Windows\\system32\\provtool.exe";

// One platform failure per row, on an install that would otherwise replace 0.9 with 1.0.2.
// PASS only while the store reports what was recorded; a record the store was not asked
// about stays; nothing is left open or behind.
TEST_F(InstallActionTest, EachPlatformFailureEndsAsDocumented) {
    using model::Fault;
    struct Case {
        Fault fault;
        std::uint32_t exitCode = 0;
        std::optional<std::u16string> record;
        bool reportsLeft = false;
    };
    const Case cases[] = {
        {Fault("SplitCommandLine"), ExitPass, u"1.0.2"},   // a failed split selects the install
        {Fault("SystemFolder"), ExitFail, u"0.9"},
        {Fault("RunHiddenCommand").At(kProvtool), ExitFail, std::nullopt},
        {Fault("RunHiddenCommand").At(kPowerShell), ExitFail, u"0.9"},
        {Fault("RunHiddenCommand").OnCall(8), ExitFail, std::nullopt},   // the query after the tool
        {Fault("TempFolder"), ExitFail, u"0.9"},
        {Fault("TempFolder").OnCall(5), ExitFail, std::nullopt},
        {Fault("ReserveFile:CreateFileA").WithError(model::kErrorPathNotFound), ExitFail, u"0.9"},
        {Fault("ReserveFile:CreateFileA"), ExitFail, u"0.9"},   // every name refused: 16 draws each
        {Fault("ReserveFile:WriteFile").AfterBytes(4).WithError(model::kErrorDiskFull), ExitFail, u"0.9"},
        {Fault("ReadWholeFile:CreateFileA").WithError(model::kErrorSharingViolation), ExitFail, u"0.9"},
        {Fault("ReadWholeFile:GetFileInformationByHandle"), ExitFail, u"0.9"},
        {Fault("ReadWholeFile:GetFileSize"), ExitFail, u"0.9"},
        {Fault("ReadWholeFile:allocation").WithError(model::kErrorNotEnoughMemory), ExitFail, u"0.9"},
        {Fault("ReadWholeFile:ReadFile"), ExitFail, u"0.9"},
        {Fault("ReadWholeFile:ReadFile").OnCall(5), ExitFail, std::nullopt},   // the report confirming it
        {Fault("RemoveFile"), ExitPass, u"1.0.2", true},   // each query's report stays where it was made
        {Fault("WriteRegistryString:RegCreateKeyExW"), ExitPass, std::nullopt},
        {Fault("WriteRegistryString:RegSetValueExW"), ExitPass, std::nullopt},
        {Fault("DeleteRegistryTree"), ExitPass, u"1.0.2"},   // the old record is overwritten
    };
    for (const Case& c : cases) {
        const std::string name = c.fault.operation + " " + model::Narrow(c.fault.path) + " #" + std::to_string(c.fault.call);
        PackageFixture f;
        f.SeedRecord(u"0.9");
        f.store.packages[kId1] = {u"0.9"};
        f.store.applies[kId1] = {u"1.0.2"};
        f.os.faults.push_back(c.fault);
        const std::uint32_t exitCode = RunEntry(f.os, u"");
        EXPECT_EQ(exitCode, c.exitCode) << name;
        EXPECT_EQ(f.Record(), c.record) << name;
        if (exitCode == ExitPass) {
            ASSERT_EQ(f.store.packages.count(kId1), 1u) << name;
            EXPECT_EQ(f.store.packages[kId1].version, u"1.0.2") << name;
        }
        EXPECT_FALSE(f.os.injected.empty()) << name;
        EXPECT_TRUE(model::ReportsFailure(f.os, c.fault)) << name;
        EXPECT_EQ(f.LeftoverReports() != 0, c.reportsLeft) << name;
        EXPECT_EQ(f.os.OpenHandleCount(), 0u) << name;
        EXPECT_EQ(f.os.LiveDescriptorCount(), 0u) << name;
    }
}

}  // namespace
}  // namespace launcher
