#include <gtest/gtest.h>

#include "launcher/Entry.h"
#include "launcher/ExitCodes.h"
#include "packages/Commands.h"
#include "packages/SystemTools.h"
#include "tests/unit/PackageFixture.h"

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

}  // namespace
}  // namespace packages
