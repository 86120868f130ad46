#pragma once

// How the outcomes of one run add up. A pass counts only where it proves something: a refusal
// (nothing written) proves nothing unless the launcher was seen to write a report in the same
// run, and information is never a pass.

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Cases.h"

namespace verify {

inline constexpr int kExitAllPassed = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitNotAllPrepared = 2;
inline constexpr int kExitRefused = 3;  // refused to start: nothing was checked

// What a run counted.
struct RunCounts {
    int passed = 0;
    int failed = 0;
    int notPrepared = 0;
};

class Tally {
public:
    // The outcome as it is printed and counted.
    Outcome Settle(const Case& c, Outcome outcome);
    // A failure outside any case, such as a scratch folder that could not be removed.
    void AddFailure() { ++failed_; }
    // What another run counted (the run as the system account), so that one closing line says it all.
    void Absorb(const RunCounts& counts);
    RunCounts Counts() const { return {passed_, failed_, notPrepared_}; }
    // "N passed, N failed, N not prepared. Exit N: what to do."
    std::wstring ClosingLine() const;
    // 0 only when every case passed, 1 on any failure, 2 when nothing failed but something
    // could not be prepared.
    int ExitCode() const;

private:
    int passed_ = 0;
    int failed_ = 0;
    int notPrepared_ = 0;
    bool baselinePassed_ = false;
};

// How the run as the system account hands its exit code and counts to the run that started it,
// which alone prints the closing line: "CODE PASSED FAILED NOTPREPARED\n".
std::string CountsLine(int exitCode, const RunCounts& counts);
// nullopt unless `text` is exactly such a line (a run still writing it has not ended).
std::optional<std::pair<int, RunCounts>> ParseCountsLine(std::string_view text);

// What an exit code means and what to do about it: "Exit 2: ...".
std::wstring ExitAdvice(int exitCode);
// The last line of a run that refused to start: "Nothing checked. Exit 3: ...".
std::wstring RefusedClosingLine();

// "name: pass (detail)", "name: FAIL: detail", "name: cannot prepare here: detail", "name: info: detail".
std::wstring CaseLine(const wchar_t* name, const Outcome& settled);

}  // namespace verify
