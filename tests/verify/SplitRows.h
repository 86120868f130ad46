#pragma once

// Command lines whose split the launcher takes from the model's reading of CommandLineToArgvW
// (a first argument read as a program name, quotes counted in threes), each with the arguments
// the model gives it. The unit tests hold the model to these rows; ppkg-verify holds Windows to them.

#include <array>
#include <cstddef>

namespace verify {

struct SplitRow {
    const char16_t* commandLine;
    std::size_t count;
    std::array<const char16_t*, 3> arguments;
};

inline constexpr std::array<SplitRow, 4> kSplitRows{{
    {u"\"/uninstall\"x", 2, {u"/uninstall", u"x", nullptr}},
    {u"/uninstall\"", 1, {u"/uninstall\"", nullptr, nullptr}},
    {u"/get\"status a", 2, {u"/get\"status", u"a", nullptr}},
    {u"/getstatus \"a\"\" b\"", 3, {u"/getstatus", u"a\"", u"b"}},
}};

}  // namespace verify
