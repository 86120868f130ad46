#include "TempReports.h"

namespace verify {
namespace {

std::wstring Joined(const std::vector<std::wstring>& names) {
    std::wstring text;
    for (const std::wstring& name : names) text += (text.empty() ? L"" : L", ") + name;
    return text;
}

}  // namespace

TempReportsJudgement JudgeTempReports(const TempReportsSeen& seen, bool endedByItself) {
    TempReportsJudgement judgement;
    judgement.removeAppeared = seen.ownFolder && !seen.appeared.empty();
    if (!seen.otherRuns.empty()) {
        judgement.verdict = Verdict::CannotPrepare;
        judgement.detail = L"another run of the launcher was running meanwhile (" + Joined(seen.otherRuns) +
                           L"): it shares the provisioning store and the temp folder with this case, which "
                           L"therefore proves nothing; run this program while no deployment runs";
    } else if (!seen.appeared.empty() && !seen.ownFolder) {
        judgement.verdict = Verdict::CannotPrepare;
        judgement.detail = L"a temp report appeared in the shared temp folder during the run (" +
                           Joined(seen.appeared) + L"): it may be another run's, so it is left alone and the case "
                           L"proves nothing";
    } else if (!seen.appeared.empty() && endedByItself) {
        judgement.verdict = Verdict::Fail;
        judgement.detail = L"the run left a temp report behind";
    }
    return judgement;
}

}  // namespace verify
