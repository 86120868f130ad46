#include <gtest/gtest.h>

#include "packages/PackageRemoval.h"
#include "tests/unit/PackageFixture.h"

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
}

TEST_F(PackageRemovalTest, UnremovableFirstPackageKeepsTheRecordButTheSecondIsStillRemoved) {
    store.packages[kId1] = {u"1.0", u"True", false};
    store.packages[kId2] = {u"1.0"};
    EXPECT_EQ(RemoveAllPackages(os, version), 0);
    EXPECT_EQ(Steps(), (StepList{"remove 1", "query 1", "remove 2", "query 2"}));
    EXPECT_EQ(store.packages.count(kId2), 0u);
    EXPECT_EQ(Record(), u"1.0");
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

}  // namespace
}  // namespace packages
