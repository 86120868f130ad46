#include "RollbackJudge.h"

#include <algorithm>
#include <iterator>

namespace verify {
namespace {

std::wstring Describe(const LoggedChange& c) {
    switch (c.change) {
        case NameChange::Added: return c.name + L" added";
        case NameChange::Removed: return c.name + L" removed";
        case NameChange::RenamedFrom: return c.name + L" renamed";
        case NameChange::RenamedTo: return c.name + L" named by a rename";
    }
    return c.name;
}

std::wstring Describe(const std::vector<LoggedChange>& log) {
    std::wstring text;
    for (const LoggedChange& c : log) text += (text.empty() ? L"" : L", ") + Describe(c);
    return text.empty() ? L"nothing" : text;
}

}  // namespace

Outcome JudgeRollback(const std::vector<LoggedChange>& log, const std::vector<std::wstring>& levels) {
    std::vector<LoggedChange> expected;
    expected.reserve(levels.size() * 2);
    std::transform(levels.begin(), levels.end(), std::back_inserter(expected),
                   [](const std::wstring& level) { return LoggedChange{NameChange::Added, level}; });
    std::transform(levels.rbegin(), levels.rend(), std::back_inserter(expected),
                   [](const std::wstring& level) { return LoggedChange{NameChange::Removed, level}; });
    bool firstMade = false;
    for (const LoggedChange& c : log) firstMade = firstMade || (c.change == NameChange::Added && c.name == levels.front());
    if (!firstMade) {
        return {Verdict::Fail, levels.front() + L" was never made, so there was nothing to roll back (logged: " +
                                   Describe(log) + L")"};
    }
    const bool same = log.size() == expected.size() &&
                      std::equal(log.begin(), log.end(), expected.begin(), [](const LoggedChange& a, const LoggedChange& b) {
                          return a.change == b.change && a.name == b.name;
                      });
    if (!same) return {Verdict::Fail, L"logged: " + Describe(log) + L"; expected: " + Describe(expected)};
    return {Verdict::Pass, Describe(log)};
}

}  // namespace verify
