#include <gtest/gtest.h>

#include "launcher/Dispatch.h"
#include "launcher/Entry.h"
#include "launcher/ExitCodes.h"
#include "tests/model/FakeWindows.h"

namespace launcher {
namespace {

using Args = std::vector<std::u16string>;

struct DispatchCase {
    const char* name;
    std::optional<Args> arguments;
    Action action;
    std::u16string operand;
};

const DispatchCase kDispatchCases[] = {
    {"split failed", std::nullopt, Action::Install, u""},
    {"program path only", Args{u"C:\\bench\\ppkg-launcher.exe"}, Action::Install, u""},
    {"uninstall", Args{u"/uninstall"}, Action::Uninstall, u""},
    {"uninstall ignores operand", Args{u"/uninstall", u"x"}, Action::Uninstall, u"x"},
    {"all capitals", Args{u"/UNINSTALL"}, Action::Install, u""},
    {"capital U", Args{u"/Uninstall"}, Action::Install, u""},
    {"trailing colon", Args{u"/uninstall:"}, Action::Install, u""},
    {"prefix", Args{u"/uninstal"}, Action::Install, u""},
    {"leading blank kept", Args{u" /uninstall"}, Action::Install, u""},
    {"three arguments", Args{u"/uninstall", u"a", u"b"}, Action::Install, u""},
    {"status with path", Args{u"/getstatus", u"C:\\a b\\s.txt"}, Action::Status, u"C:\\a b\\s.txt"},
    {"status alone", Args{u"/getstatus"}, Action::Status, u""},
    {"status two paths", Args{u"/getstatus", u"a", u"b"}, Action::Install, u""},
    {"status case", Args{u"/GetStatus", u"a"}, Action::Install, u""},
};

TEST(ChooseAction, MatchesKeywordsExactly) {
    for (const DispatchCase& c : kDispatchCases) {
        const Request request = ChooseAction(c.arguments);
        EXPECT_EQ(request.action, c.action) << c.name;
        if (c.action != Action::Install) {
            EXPECT_EQ(request.operand, c.operand) << c.name;
        }
    }
}

// The request is what the platform's split makes of the raw command line. It reads the first
// argument as a program name (a leading quote runs to the next one, otherwise a blank ends
// it and quotes stay), later ones under the backslash and quote rules; the first four rows
// are what CommandLineToArgvW was seen to do with them.
TEST(ChooseAction, TakesTheArgumentsAsWindowsSplitsThem) {
    struct Case {
        const char16_t* commandLine;
        Args arguments;
        Action action;
    };
    const Case cases[] = {
        {u"\"/uninstall\"x", {u"/uninstall", u"x"}, Action::Uninstall},
        {u"/uninstall\"", {u"/uninstall\""}, Action::Install},
        {u"/get\"status a", {u"/get\"status", u"a"}, Action::Install},
        {u"/getstatus \"a\"\" b\"", {u"/getstatus", u"a\"", u"b"}, Action::Install},
        {u"/getstatus \"C:\\a b\\s.txt\"", {u"/getstatus", u"C:\\a b\\s.txt"}, Action::Status},
        {u"/getstatus \"C:\\out\\\\\"", {u"/getstatus", u"C:\\out\\"}, Action::Status},
        {u"/getstatus a\\\"b", {u"/getstatus", u"a\"b"}, Action::Status},
        {u"\t/uninstall", {u"", u"/uninstall"}, Action::Install},
        {u"/uninstall \t", {u"/uninstall"}, Action::Uninstall},
    };
    for (const Case& c : cases) {
        model::FakeWindows os;
        const std::optional<Args> arguments = os.SplitCommandLine(c.commandLine);
        EXPECT_EQ(arguments, c.arguments) << model::Narrow(c.commandLine);
        EXPECT_EQ(ChooseAction(arguments).action, c.action) << model::Narrow(c.commandLine);
    }
}

// The whole road from the raw command line, with the platform's own split.
struct EntryCase {
    const char16_t* commandLine;
    std::uint32_t exitCode;
};

TEST(RunEntry, StatusWithoutOperandTouchesNothing) {
    const EntryCase cases[] = {
        {u"/getstatus", ExitFailure},
        {u"/getstatus \"\"", ExitFailure},
    };
    for (const EntryCase& c : cases) {
        model::FakeWindows os;
        EXPECT_EQ(RunEntry(os, c.commandLine), c.exitCode);
        EXPECT_TRUE(os.commands.empty());
        EXPECT_TRUE(os.calls.empty());
    }
}

}  // namespace
}  // namespace launcher
