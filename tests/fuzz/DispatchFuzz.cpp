// The dispatch on arbitrary command lines, split by the model as CommandLineToArgvW splits,
// and the whole entry on the same line in a model whose commands start and do nothing. The
// action must be exactly the documented one, seen both in the choice and in the commands the
// entry ran, with its exit code, and nothing may be left open or behind.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "launcher/Dispatch.h"
#include "launcher/Entry.h"
#include "launcher/ExitCodes.h"
#include "packages/Commands.h"
#include "packages/PackageIds.h"
#include "packages/SystemTools.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/model/FakeWindows.h"

namespace {

using launcher::Action;
using packages::SystemTool;
using Arguments = std::vector<std::u16string>;

// ASCII bytes stand for themselves so that seeds read as command lines; a byte of 0x80 or
// above brings in the UTF-16 unit of the next two bytes.
std::u16string ReadCommandLine(fuzz::Input& input) {
    std::u16string line;
    while (!input.Empty()) {
        const std::uint8_t byte = input.Byte();
        line.push_back(byte < 0x80 ? char16_t{byte} : static_cast<char16_t>(input.Unit()));
    }
    return line;
}

// The documented choice: one or two arguments make the first the request; "/uninstall"
// removes, "/getstatus" reports into the second argument; anything else installs.
launcher::Request Documented(const std::optional<Arguments>& arguments) {
    if (!arguments || arguments->empty() || arguments->size() > 2) return {Action::Install, {}};
    const std::u16string operand = arguments->size() == 2 ? (*arguments)[1] : std::u16string();
    if ((*arguments)[0] == u"/uninstall") return {Action::Uninstall, operand};
    if ((*arguments)[0] == u"/getstatus") return {Action::Status, operand};
    return {Action::Install, {}};
}

std::string Query(const char* id) { return "powershell.exe Get-ProvisioningPackage -PackageId " + std::string(id) + " >"; }

// Commands that start and do nothing leave every query unanswered: a removal is never
// confirmed, no package is ever reported, so each action takes its failure road to the end.
// Every program is started by its full path in the system folder.
void CheckCommands(const model::FakeWindows& os, const launcher::Request& request) {
    const char* first = packages::PackageIds[0];
    const char* second = packages::PackageIds[1];
    std::vector<std::string> removal = {packages::FormatRemovalCommand(first), Query(first),
                                        packages::FormatRemovalCommand(second), Query(second)};
    std::vector<std::string> expected;
    switch (request.action) {
        case Action::Uninstall: expected = removal; break;
        case Action::Status:
            if (!request.operand.empty()) expected = {Query(first), Query(second)};
            break;
        case Action::Install:
            expected = removal;
            expected.insert(expected.end(), {Query(first), Query(second), std::string(packages::kInstallCommand),
                                             Query(first), Query(second)});
            break;
    }
    fuzz::Require(os.commands.size() == expected.size(), "as many commands as the action runs");
    fuzz::Require(os.applications.size() == expected.size(), "each command started as a program");
    const std::string folder = os.systemFolder.value_or("");
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string& command = os.commands[i];
        const bool query = expected[i].back() == '>';
        fuzz::Require(query ? command.rfind(expected[i], 0) == 0 : command == expected[i],
                      "the action's commands in their order", command);
        const bool provtool = command == packages::kInstallCommand;
        const auto tool = packages::SystemToolPath(folder, provtool ? SystemTool::Provtool : SystemTool::PowerShell);
        fuzz::Require(tool.has_value() && os.applications[i] == *tool, "each tool comes from the system folder",
                      os.applications[i]);
    }
}

// The entries in the temp folder, where each query reserves its report.
std::size_t TempEntries(const model::FakeWindows& os) {
    const std::u16string folder = model::Widen(os.tempFolder);
    std::size_t count = 0;
    for (const auto& [path, entry] : os.entries) {
        if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0) ++count;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::u16string line = ReadCommandLine(input);
    const std::string detail = "command line " + fuzz::Printable(line);

    model::FakeWindows splitter;
    const std::optional<Arguments> arguments = splitter.SplitCommandLine(line);
    const launcher::Request expected = Documented(arguments);
    const launcher::Request chosen = launcher::ChooseAction(arguments);
    fuzz::Require(chosen.action == expected.action, "the documented action is chosen", detail);
    if (expected.action != Action::Install) {
        fuzz::Require(chosen.operand == expected.operand, "the operand is the second argument", detail);
    }

    model::FakeWindows os;
    const std::size_t tempBefore = TempEntries(os);
    const std::uint32_t exitCode = launcher::RunEntry(os, line);
    CheckCommands(os, expected);
    const std::uint32_t expectedCode = expected.action == Action::Install ? launcher::ExitFail : launcher::ExitFailure;
    fuzz::Require(exitCode == expectedCode, "the exit code claims no success", detail);
    if (expected.action == Action::Status && expected.operand.empty()) {
        fuzz::Require(os.calls.empty(), "a status request without a path touches nothing", detail);
    }
    fuzz::Require(TempEntries(os) == tempBefore, "no temp report is left behind", detail);
    fuzz::Require(os.OpenHandleCount() == 0 && os.LiveDescriptorCount() == 0, "nothing left open", detail);
    return 0;
}
