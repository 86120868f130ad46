#include <gtest/gtest.h>

#include "launcher/Entry.h"
#include "launcher/ExitCodes.h"
#include "packages/PackageRemoval.h"
#include "tests/unit/PackageFixture.h"
#include "tests/unit/TraceExpectations.h"

namespace packages {
namespace {

using StepList = std::vector<std::string>;

class PackageRemovalTest : public ::testing::Test, public PackageFixture {
protected:
    void SetUp() override { SeedRecord(u"1.0"); }
};

TEST_F(PackageRemovalTest, NothingInstalledStillRunsBothRemovalsAndDeletesTheRecord) {
    EXPECT_EQ(RemoveAllPackages(os, version), 1);
    EXPECT_EQ(Steps(), (StepList{"remove 1", "query 1", "remove 2", "query 2"}));
    EXPECT_FALSE(RecordKeyExists());
    EXPECT_EQ(LeftoverReports(), 0u);
}

TEST_F(PackageRemovalTest, BothInstalledAreRemoved) {
    store.packages[kId1] = {u"1.0"};
    store.packages[kId2] = {u"1.0"};
    EXPECT_EQ(RemoveAllPackages(os, version), 1);
    EXPECT_TRUE(store.packages.empty());
    EXPECT_FALSE(RecordKeyExists());
    EXPECT_EQ(model::EventsNamed(os, "RemovingPackage").size(), 2u);
    EXPECT_TRUE(model::FirstEvent(os, "VersionRecordDeleted"));
}

TEST_F(PackageRemovalTest, UnremovableFirstPackageKeepsTheRecordButTheSecondIsStillRemoved) {
    store.packages[kId1] = {u"1.0", u"True", false};
    store.packages[kId2] = {u"1.0"};
    EXPECT_EQ(RemoveAllPackages(os, version), 0);
    EXPECT_EQ(Steps(), (StepList{"remove 1", "query 1", "remove 2", "query 2"}));
    EXPECT_EQ(store.packages.count(kId2), 0u);
    EXPECT_EQ(Record(), u"1.0");
    EXPECT_TRUE(model::FirstEvent(os, "VersionRecordKept"));
    EXPECT_FALSE(model::FirstEvent(os, "VersionRecordDeleted"));
}

TEST_F(PackageRemovalTest, InstalledFalseCountsAsStillPresent) {
    store.packages[kId2] = {u"1.0", u"False", false};
    EXPECT_EQ(RemoveAllPackages(os, version), 0);
    EXPECT_EQ(Record(), u"1.0");
}

// Without an answer from the store nothing is known to be gone: the record stays.
TEST_F(PackageRemovalTest, UnansweredQueriesNeverReportSuccess) {
    const std::function<void(model::SimulatedStore&)> failures[] = {
        [](model::SimulatedStore& s) { s.powershellMissing = true; },
        [](model::SimulatedStore& s) { s.powershellSilent = true; },
    };
    for (const auto& fail : failures) {
        PackageFixture f;
        f.SeedRecord(u"1.0");
        fail(f.store);
        EXPECT_EQ(RemoveAllPackages(f.os, f.version), 0);
        EXPECT_EQ(f.Record(), u"1.0");
        EXPECT_EQ(f.LeftoverReports(), 0u);
    }
}

// One platform failure per row of /uninstall, where the removable package and its record
// would otherwise both go. 0 only when the store was asked and reports neither package and
// the record is gone; every 1 keeps the record.
TEST(UninstallEntry, EachPlatformFailureEndsAsDocumented) {
    using model::Fault;
    const std::u16string powershell = u"C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe";
    struct Case {
        Fault fault;
        std::uint32_t exitCode = 0;
        bool reportsLeft = false;
    };
    const Case cases[] = {
        {Fault("SystemFolder"), launcher::ExitFailure},
        {Fault("RunHiddenCommand").At(powershell), launcher::ExitFailure},
        {Fault("RunHiddenCommand").OnCall(1), launcher::ExitFailure},   // the first removal: still reported
        {Fault("RunHiddenCommand").OnCall(2), launcher::ExitFailure},   // the query after it: gone, but unasked
        {Fault("RunHiddenCommand").OnCall(4), launcher::ExitFailure},
        {Fault("TempFolder"), launcher::ExitFailure},
        {Fault("TempFolder").OnCall(2), launcher::ExitFailure},
        {Fault("ReserveFile:CreateFileA").WithError(model::kErrorPathNotFound), launcher::ExitFailure},
        {Fault("ReserveFile:CreateFileA"), launcher::ExitFailure},
        {Fault("ReserveFile:WriteFile").AfterBytes(4).WithError(model::kErrorDiskFull), launcher::ExitFailure},
        {Fault("ReadWholeFile:CreateFileA").WithError(model::kErrorSharingViolation), launcher::ExitFailure},
        {Fault("ReadWholeFile:GetFileInformationByHandle"), launcher::ExitFailure},
        {Fault("ReadWholeFile:GetFileSize"), launcher::ExitFailure},
        {Fault("ReadWholeFile:allocation").WithError(model::kErrorNotEnoughMemory), launcher::ExitFailure},
        {Fault("ReadWholeFile:ReadFile"), launcher::ExitFailure},
        {Fault("ReadWholeFile:ReadFile").OnCall(2), launcher::ExitFailure},
        {Fault("RemoveFile"), launcher::ExitSuccess, true},   // the answers stand; their files stay
        {Fault("DeleteRegistryTree"), launcher::ExitFailure},   // both gone, but the record would say otherwise
    };
    for (const Case& c : cases) {
        const std::string name = c.fault.operation + " " + model::Narrow(c.fault.path) + " #" + std::to_string(c.fault.call);
        PackageFixture f;
        f.SeedRecord(u"1.0");
        f.store.packages[kId1] = {u"1.0"};
        f.os.faults.push_back(c.fault);
        EXPECT_EQ(launcher::RunEntry(f.os, u"/uninstall"), c.exitCode) << name;
        if (c.exitCode == launcher::ExitSuccess) {
            EXPECT_TRUE(f.store.packages.empty()) << name;
            EXPECT_FALSE(f.RecordKeyExists()) << name;
        } else {
            EXPECT_EQ(f.Record(), u"1.0") << name;
        }
        EXPECT_FALSE(f.os.injected.empty()) << name;
        EXPECT_TRUE(model::ReportsFailure(f.os, c.fault)) << name;
        EXPECT_EQ(f.LeftoverReports() != 0, c.reportsLeft) << name;
        EXPECT_EQ(f.os.OpenHandleCount(), 0u) << name;
        EXPECT_EQ(f.os.LiveDescriptorCount(), 0u) << name;
    }
}

}  // namespace
}  // namespace packages
