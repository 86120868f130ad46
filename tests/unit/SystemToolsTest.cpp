#include <gtest/gtest.h>

#include "launcher/Entry.h"
#include "launcher/ExitCodes.h"
#include "packages/Commands.h"
#include "packages/SystemTools.h"
#include "tests/unit/PackageFixture.h"
#include "tests/unit/TraceExpectations.h"

namespace packages {
namespace {

TEST(SystemToolPath, NamesTheToolInsideTheSystemFolder) {
    struct Case {
        std::string folder;
        SystemTool tool;
        std::optional<std::string> path;
    };
    const std::string longest(kPathBufferSize - 1 - 38, 'a');   // 38: the separator and the PowerShell tail
    const Case cases[] = {
        {"C:\\Windows\\system32", SystemTool::PowerShell, "C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe"},
        {"C:\\Windows\\system32", SystemTool::Provtool, "C:\\Windows\\system32\\provtool.exe"},
        {"D:\\", SystemTool::Provtool, "D:\\provtool.exe"},
        {"", SystemTool::PowerShell, std::nullopt},
        {longest, SystemTool::PowerShell, longest + "\\WindowsPowerShell\\v1.0\\powershell.exe"},
        {longest + "a", SystemTool::PowerShell, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(SystemToolPath(c.folder, c.tool), c.path) << c.folder;
}

// Without the system folder no tool starts: a search is never the fallback, and every action
// ends as a failure, however the store stands.
TEST(RunSystemTool, UnreadableSystemFolderStartsNothingAndNeverSucceeds) {
    struct Case {
        const char16_t* commandLine;
        std::uint32_t exitCode;
    };
    const Case cases[] = {
        {u"", launcher::ExitFail},
        {u"/uninstall", launcher::ExitFailure},
        {u"/getstatus C:\\out\\status.txt", launcher::ExitFailure},
    };
    for (const Case& c : cases) {
        PackageFixture f;
        f.os.AddDirectory(u"C:\\out");
        f.os.systemFolder = std::nullopt;
        f.SeedRecord(u"1.0");
        f.store.packages[kId1] = {u"1.0"};
        f.store.applies[kId1] = {u"1.0"};
        EXPECT_EQ(launcher::RunEntry(f.os, c.commandLine), c.exitCode) << model::Narrow(c.commandLine);
        EXPECT_TRUE(f.os.commands.empty()) << model::Narrow(c.commandLine);
        EXPECT_EQ(f.Record(), u"1.0") << model::Narrow(c.commandLine);
        EXPECT_EQ(f.store.packages.count(kId1), 1u) << model::Narrow(c.commandLine);
        EXPECT_EQ(f.LeftoverReports(), 0u) << model::Narrow(c.commandLine);
    }
}

// A started tool is traced with its process id, how the wait ended and its exit code; a wait that
// fails is an error with its number, and the run goes on to ask the store as before.
TEST(RunSystemTool, TraceRecordsHowTheChildEnded) {
    struct Case {
        const char* name;
        std::optional<model::Fault> fault;
        const char* event;   // one level per name: the failed wait has its own
        platform::TraceLevel level;
        std::string wait;
        std::string waitError;
    };
    const Case cases[] = {
        {"ended", std::nullopt, "ChildProcess", platform::TraceLevel::Information, "ended", "0"},
        {"wait failed", model::Fault("RunHiddenCommand:WaitForSingleObject").WithError(model::kErrorInvalidHandle),
         "ChildProcessWaitFailed", platform::TraceLevel::Error, "the wait failed; it may still run", "6"},
    };
    for (const Case& c : cases) {
        PackageFixture f;
        f.os.childExitCode = 0x1F;
        if (c.fault) f.os.faults.push_back(*c.fault);
        EXPECT_TRUE(RunSystemTool(f.os, SystemTool::Provtool, kInstallCommand)) << c.name;
        const std::optional<model::RecordedEvent> child = model::FirstEvent(f.os, c.event);
        ASSERT_TRUE(child) << c.name;
        EXPECT_EQ(child->level, c.level) << c.name;
        EXPECT_EQ(child->Field("Application"), "C:\\Windows\\system32\\provtool.exe") << c.name;
        EXPECT_EQ(child->Field("ProcessId"), "4100") << c.name;
        EXPECT_EQ(child->Field("Wait"), c.wait) << c.name;
        EXPECT_EQ(child->Field("WaitError"), c.waitError) << c.name;
        EXPECT_EQ(child->Field("ExitCode"), c.fault ? "0x00000103" : "0x0000001F") << c.name;
    }
}

}  // namespace
}  // namespace packages
