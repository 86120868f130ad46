#include <gtest/gtest.h>

#include "launcher/Entry.h"
#include "launcher/ExitCodes.h"
#include "launcher/InstallAction.h"
#include "tests/unit/PackageFixture.h"

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
        f.os.registryWritable = false;
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

}  // namespace
}  // namespace launcher
