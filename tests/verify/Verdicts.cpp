#include "Verdicts.h"

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
        case kExitAllPassed: return L"Exit 0: every case held on this machine.";
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
