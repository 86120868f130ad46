#include "Verdicts.h"

#include <algorithm>
#include <array>
#include <utility>

namespace verify {

Outcome Tally::Settle(const Case& c, Outcome outcome) {
    if (outcome.verdict == Verdict::Pass && c.kind == Kind::Info) outcome.verdict = Verdict::Info;
    if (outcome.verdict == Verdict::Pass && c.kind == Kind::Refusal && !baselinePassed_) {
        outcome = {Verdict::CannotPrepare,
                   L"report-written did not pass in this run, so a report not written here proves nothing: a "
                   L"launcher that never writes would refuse this too" +
                       (outcome.detail.empty() ? std::wstring() : L" (" + outcome.detail + L")")};
    }
    switch (outcome.verdict) {
        case Verdict::Pass:
            ++passed_;
            if (c.kind == Kind::Baseline) baselinePassed_ = true;
            break;
        case Verdict::Fail: ++failed_; break;
        case Verdict::CannotPrepare: ++notPrepared_; break;
        case Verdict::Info: break;
    }
    return outcome;
}

void Tally::Absorb(const RunCounts& counts) {
    passed_ += counts.passed;
    failed_ += counts.failed;
    notPrepared_ += counts.notPrepared;
}

std::wstring Tally::ClosingLine() const {
    return std::to_wstring(passed_) + L" passed, " + std::to_wstring(failed_) + L" failed, " +
           std::to_wstring(notPrepared_) + L" not prepared. " + ExitAdvice(ExitCode());
}

int Tally::ExitCode() const {
    if (failed_ > 0) return kExitFailed;
    return notPrepared_ > 0 ? kExitNotAllPrepared : kExitAllPassed;
}

std::wstring ExitAdvice(int exitCode) {
    switch (exitCode) {
        case kExitAllPassed:
            return L"Exit 0: every case held on this machine; the info lines are evidence and what this machine cannot "
                   L"show, never counted.";
        case kExitFailed:
            return L"Exit 1: a protection did not hold on this machine; do not deploy, keep this output and report "
                   L"the FAIL lines.";
        case kExitNotAllPrepared:
            return L"Exit 2: nothing failed, but the cases not prepared proved nothing; mend what their lines name "
                   L"and run it again.";
        case kExitRefused: return L"Exit 3: it refused to start; mend what the line above says and run it again.";
        default: return L"Exit " + std::to_wstring(exitCode) + L".";
    }
}

std::string CountsLine(int exitCode, const RunCounts& counts) {
    return std::to_string(exitCode) + " " + std::to_string(counts.passed) + " " + std::to_string(counts.failed) + " " +
           std::to_string(counts.notPrepared) + "\n";
}

std::optional<std::pair<int, RunCounts>> ParseCountsLine(std::string_view text) {
    constexpr std::size_t kMostDigits = 6;
    if (text.empty() || text.back() != '\n') return std::nullopt;
    text.remove_suffix(1);
    std::array<int, 4> numbers{};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0) {
            if (text.empty() || text.front() != ' ') return std::nullopt;
            text.remove_prefix(1);
        }
        const std::size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
        if (digits == 0 || digits > kMostDigits) return std::nullopt;
        for (const char c : text.substr(0, digits)) numbers.at(i) = numbers.at(i) * 10 + (c - '0');
        text.remove_prefix(digits);
    }
    if (!text.empty()) return std::nullopt;
    return std::make_pair(numbers[0], RunCounts{numbers[1], numbers[2], numbers[3]});
}

std::wstring RefusedClosingLine() { return L"Nothing checked. " + ExitAdvice(kExitRefused); }

std::wstring CaseLine(const wchar_t* name, const Outcome& settled) {
    std::wstring line = std::wstring(name) + L": ";
    switch (settled.verdict) {
        case Verdict::Pass: return line + L"pass" + (settled.detail.empty() ? L"" : L" (" + settled.detail + L")");
        case Verdict::Fail: return line + L"FAIL: " + settled.detail;
        case Verdict::CannotPrepare: return line + L"cannot prepare here: " + settled.detail;
        case Verdict::Info: return line + L"info: " + settled.detail;
    }
    return line;
}

}  // namespace verify
