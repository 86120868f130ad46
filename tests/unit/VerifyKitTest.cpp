// The judging code of ppkg-verify, which settles on a Windows machine what the model and Wine
// cannot: each guard against a pass that proves nothing, on the inputs that would fool it.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tests/model/FakeWindows.h"
#include "tests/model/Sddl.h"
#include "tests/verify/AclJudge.h"
#include "tests/verify/CasePaths.h"
#include "tests/verify/FolderJudge.h"
#include "tests/verify/GuardJudge.h"
#include "tests/verify/PeImports.h"
#include "tests/verify/PlantList.h"
#include "tests/verify/QueryVerdict.h"
#include "tests/verify/ReportLine.h"
#include "tests/verify/RollbackJudge.h"
#include "tests/verify/SplitRows.h"
#include "tests/verify/TempReports.h"
#include "tests/verify/Verdicts.h"

namespace verify {
namespace {

std::wstring Wide(std::u16string_view text) { return {text.begin(), text.end()}; }
std::string Narrow(std::wstring_view text) { return model::Narrow(std::u16string(text.begin(), text.end())); }
std::u16string Utf16(std::wstring_view text) { return {text.begin(), text.end()}; }

// ---- the tally ------------------------------------------------------------------------------

TEST(Tally, CountsAPassOnlyWhereItProvesSomething) {
    struct Step {
        Kind kind;
        Verdict given;
        Verdict settled;
    };
    struct Run {
        const char* name;
        std::vector<Step> steps;
        const wchar_t* closing;
        int exitCode;
    };
    const Run runs[] = {
        {"refusal after a written report",
         {{Kind::Baseline, Verdict::Pass, Verdict::Pass}, {Kind::Refusal, Verdict::Pass, Verdict::Pass},
          {Kind::Proof, Verdict::Pass, Verdict::Pass}},
         L"3 passed, 0 failed, 0 not prepared", kExitAllPassed},
        // A launcher that never writes refuses everything: its refusals are no passes.
        {"refusal without a written report",
         {{Kind::Baseline, Verdict::Fail, Verdict::Fail}, {Kind::Refusal, Verdict::Pass, Verdict::CannotPrepare},
          {Kind::Refusal, Verdict::Fail, Verdict::Fail}},
         L"0 passed, 2 failed, 1 not prepared", kExitFailed},
        {"refusal before the report was seen",
         {{Kind::Refusal, Verdict::Pass, Verdict::CannotPrepare}, {Kind::Baseline, Verdict::Pass, Verdict::Pass}},
         L"1 passed, 0 failed, 1 not prepared", kExitNotAllPrepared},
        {"information never counts",
         {{Kind::Proof, Verdict::Pass, Verdict::Pass}, {Kind::Info, Verdict::Pass, Verdict::Info},
          {Kind::Proof, Verdict::Info, Verdict::Info}},
         L"1 passed, 0 failed, 0 not prepared", kExitAllPassed},
        {"information that could not be gathered",
         {{Kind::Proof, Verdict::Pass, Verdict::Pass}, {Kind::Info, Verdict::CannotPrepare, Verdict::CannotPrepare}},
         L"1 passed, 0 failed, 1 not prepared", kExitNotAllPrepared},
    };
    for (const Run& run : runs) {
        Tally tally;
        for (const Step& step : run.steps) {
            const Case c{L"case", nullptr, nullptr, nullptr, step.kind};
            EXPECT_EQ(tally.Settle(c, {step.given, L"detail"}).verdict, step.settled) << run.name;
        }
        EXPECT_EQ(tally.ClosingLine(), std::wstring(run.closing) + L". " + ExitAdvice(run.exitCode)) << run.name;
        EXPECT_EQ(tally.ExitCode(), run.exitCode) << run.name;
    }
}

// Each exit code has its own advice, naming the code, and a refusal is never read as a run.
TEST(Tally, EachExitCodeSaysItsNumberAndWhatToDo) {
    std::vector<std::wstring> seen;
    for (const int code : {kExitAllPassed, kExitFailed, kExitNotAllPrepared, kExitRefused}) {
        const std::wstring advice = ExitAdvice(code);
        EXPECT_EQ(advice.rfind(L"Exit " + std::to_wstring(code) + L": ", 0), 0U) << code;
        EXPECT_EQ(std::find(seen.begin(), seen.end(), advice), seen.end()) << code;
        seen.push_back(advice);
    }
    EXPECT_EQ(kExitRefused, 3);
    EXPECT_EQ(RefusedClosingLine(), L"Nothing checked. " + ExitAdvice(kExitRefused));
}

TEST(Tally, AFailureOutsideTheCasesFailsTheRun) {
    Tally tally;
    tally.Settle({L"report-written", nullptr, nullptr, nullptr, Kind::Baseline}, {Verdict::Pass, L""});
    tally.AddFailure();
    EXPECT_EQ(tally.ClosingLine(), L"1 passed, 1 failed, 0 not prepared. " + ExitAdvice(kExitFailed));
    EXPECT_EQ(tally.ExitCode(), kExitFailed);
}

// The run as the system account prints no closing line: it hands its exit code and counts over,
// and the run that started it prints one line for both, its own cleanup included.
TEST(Tally, TheSystemRunsCountsJoinTheStartersOneClosingLine) {
    const RunCounts child{20, 0, 1};
    EXPECT_EQ(CountsLine(kExitNotAllPrepared, child), "2 20 0 1\n");
    const auto parsed = ParseCountsLine(CountsLine(kExitNotAllPrepared, child));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->first, kExitNotAllPrepared);
    Tally starter;
    starter.Absorb(parsed->second);
    EXPECT_EQ(starter.ClosingLine(), L"20 passed, 0 failed, 1 not prepared. " + ExitAdvice(kExitNotAllPrepared));
    starter.AddFailure();   // its scratch folder could not be removed
    EXPECT_EQ(starter.ClosingLine(), L"20 passed, 1 failed, 1 not prepared. " + ExitAdvice(kExitFailed));
    // Half written, or anything else, is no ending.
    for (const char* text : {"", "2 20 0 1", "2 20 0\n", "2 20 0 1 \n", "2  20 0 1\n", "x 20 0 1\n", "1234567 0 0 0\n"}) {
        EXPECT_EQ(ParseCountsLine(text), std::nullopt) << text;
    }
}

// On a stock Windows 10 or 11 machine the system account's run shows everything it can: what only
// the administrator's run can show (a user's junction, a query without administrators' rights) is
// information there, and the table ends with 0.
TEST(Tally, TheSystemAccountsRunReachesZeroWhereEveryCaseIsProvenOrInformation) {
    GuardSeen guard;
    guard.ran = true;
    guard.asSystem = true;
    guard.policyKnown = true;
    guard.launcherLooks = 3;
    guard.launcherLooksGuarded = 3;
    QueryEvidence query;
    query.asSystem = true;
    query.absent = {true, "\xFF\xFE", 0, ""};
    query.runtime = {true, "\xFF\xFE", 0, ""};   // its token kept the system's SID: the store answered
    struct Step {
        const wchar_t* name = nullptr;
        Kind kind = Kind::Proof;
        Outcome outcome{Verdict::Pass, {}};
    };
    const Step steps[] = {
        {L"report-written", Kind::Baseline, Pass()},
        {L"hard-link", Kind::Refusal, Pass()},
        {L"chain-rollback", Kind::Proof, Pass()},
        {L"acl-report", Kind::Proof, Pass()},
        {L"redirection-guard", Kind::Proof, JudgeRedirectionGuard(guard)},
        {L"redirection-guard-child", Kind::Info, DescribeGuardedChildren(guard)},
        {L"powershell-runtime-failure", Kind::Info, {Verdict::Info, L"bytes"}},
        {L"query-verdict", Kind::Proof, JudgeQueryEvidence(query)},
        {L"known-dlls", Kind::Proof, Pass()},
        {L"getstatus-time", Kind::Info, Pass()},
    };
    Tally tally;
    for (const Step& step : steps) {
        const Outcome settled = tally.Settle({step.name, nullptr, nullptr, nullptr, step.kind}, step.outcome);
        EXPECT_NE(settled.verdict, Verdict::CannotPrepare) << Narrow(step.name);
        EXPECT_NE(settled.verdict, Verdict::Fail);
    }
    EXPECT_EQ(JudgeRedirectionGuard(guard).verdict, Verdict::Info);
    EXPECT_EQ(JudgeQueryEvidence(query).verdict, Verdict::Info);
    EXPECT_EQ(tally.ExitCode(), kExitAllPassed);
    EXPECT_EQ(tally.ClosingLine(), L"5 passed, 0 failed, 0 not prepared. " + ExitAdvice(kExitAllPassed));
}

// ---- the access-list judge ------------------------------------------------------------------

constexpr wchar_t kAdministrators[] = L"S-1-5-32-544";
constexpr wchar_t kStandardUser[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
// What Wine reads back for every entry: its own user as owner, a list made up from mode bits.
constexpr wchar_t kWineUser[] = L"S-1-5-21-0-0-0-1000";

// The list as read back (owner, control bits, entries), written down as SDDL for the table.
AccessList FromSddl(std::u16string_view sddl, const std::wstring& owner = kAdministrators) {
    const std::optional<model::Dacl> dacl = model::ParseDacl(sddl);
    EXPECT_TRUE(dacl.has_value()) << model::Narrow(std::u16string(sddl));
    AccessList list;
    list.owner = owner;
    if (!dacl) return list;
    list.present = true;
    list.isProtected = dacl->isProtected;
    list.autoInherited = sddl.rfind(u"D:PAI", 0) == 0 || sddl.rfind(u"D:AI", 0) == 0;
    for (const model::Ace& ace : dacl->aces) {
        AceEntry e;
        e.type = ace.type == u"A" ? AceType::Allow : ace.type == u"D" ? AceType::Deny : AceType::Other;
        e.objectInherit = ace.objectInherit;
        e.containerInherit = ace.containerInherit;
        e.noPropagate = ace.noPropagate;
        e.inheritOnly = ace.inheritOnly;
        e.inherited = ace.inherited;
        e.mask = model::RightsMask(ace.rights).value_or(0);
        e.sid = Wide(model::TrusteeSid(ace.trustee));
        list.entries.push_back(e);
    }
    return list;
}

// The four entries as they apply to the entry itself, generic rights mapped.
const std::u16string kEffective = u"(D;;FA;;;BG)(D;;FA;;;AN)(A;;0x1200a9;;;AU)(A;;FA;;;BA)";

TEST(JudgeReportList, ReadsTheEntriesThatApplyAndThosePassedOnEachInTheirOwnOrder) {
    struct Row {
        const char* name;
        bool directory;
        std::u16string sddl;
        const wchar_t* problem;   // a part of the message; empty when the list must pass
    };
    const Row rows[] = {
        {"a file's list", false, u"D:P" + kEffective, L""},
        // Set as D:P(...), stored with automatic inheritance: the bit changes nothing.
        {"a file's list read back", false, u"D:PAI" + kEffective, L""},
        {"mapped and inheritable in one entry", true, u"D:P(D;OICI;FA;;;BG)(D;OICI;FA;;;AN)(A;OICI;0x1200a9;;;AU)(A;OICI;FA;;;BA)", L""},
        // How Windows stores the report's list on a directory: the inherit-only entries, with
        // their generic rights, come after the allows that apply to the directory itself.
        {"split into effective and inherit-only entries", true,
         u"D:P" + kEffective + u"(D;OICIIO;GA;;;BG)(D;OICIIO;GA;;;AN)(A;OICIIO;GRGX;;;AU)(A;OICIIO;GA;;;BA)", L""},
        {"generic rights left on the entry itself", true,
         u"D:P(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGX;;;AU)(A;OICI;GA;;;BA)", L"holds generic rights"},
        {"a deny after an allow among the effective entries", false,
         u"D:P(D;;FA;;;BG)(A;;0x1200a9;;;AU)(D;;FA;;;AN)(A;;FA;;;BA)", L"among those that apply to the entry itself"},
        {"a deny after an allow among the inherit-only entries", true,
         u"D:P" + kEffective + u"(D;OICIIO;GA;;;BG)(A;OICIIO;GRGX;;;AU)(D;OICIIO;GA;;;AN)(A;OICIIO;GA;;;BA)",
         L"among those passed on to what is made inside"},
        {"nothing passed on to folders", true,
         u"D:P" + kEffective + u"(D;OIIO;GA;;;BG)(D;OIIO;GA;;;AN)(A;OIIO;GRGX;;;AU)(A;OIIO;GA;;;BA)",
         L"for folders made inside"},
        {"not protected", false, u"D:" + kEffective, L"not protected"},
        {"users may write", false, u"D:P" + kEffective + u"(A;;0x1301bf;;;BU)", L"is not one of the four"},
        {"an inherited entry", false, u"D:P" + kEffective + u"(A;ID;FA;;;SY)", L"inherited from the folder above"},
    };
    for (const Row& row : rows) {
        const std::wstring problem = JudgeReportList(FromSddl(row.sddl), row.directory, kAdministrators);
        if (std::wstring(row.problem).empty()) {
            EXPECT_EQ(problem, L"") << row.name;
        } else {
            EXPECT_NE(problem.find(row.problem), std::wstring::npos) << row.name << ": " << model::Narrow(std::u16string(problem.begin(), problem.end()));
        }
    }
}

TEST(JudgeReportList, ANullListGrantsEverything) {
    EXPECT_EQ(JudgeReportList(AccessList{}, false, kAdministrators), L"no DACL: everyone has full access");
}

// A report a user made in advance, with the right list, is still theirs: its owner may rewrite it.
TEST(JudgeReportList, WantsTheOwnerTheLauncherRanAs) {
    const std::u16string read = u"D:PAI" + kEffective;
    EXPECT_EQ(JudgeReportList(FromSddl(read, L"S-1-5-18"), false, L"S-1-5-18"), L"");
    EXPECT_EQ(JudgeReportList(FromSddl(read, kStandardUser), false, kAdministrators),
              L"owned by " + std::wstring(kStandardUser) + L", not by the account the launcher ran as (S-1-5-32-544)");
    EXPECT_NE(JudgeReportList(FromSddl(read, L""), false, kAdministrators).find(L"owned by (unread)"), std::wstring::npos);
}

// ---- who else may change a folder --------------------------------------------------------------

TEST(WhoElseMayChange, OnlyTheSystemAdministratorsAndTrustedInstaller) {
    const std::wstring trustedInstaller = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    // C:\ on Windows 10 and 11: users may add folders to it, and what they make inside is theirs.
    const std::u16string root =
        u"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)";
    // A folder an administrator made there: the users' inherit-only Modify applies to it.
    const std::u16string madeInRoot =
        u"D:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)(A;OICIIOID;GXGWGRSD;;;AU)";
    // One made in C:\Program Files: only TrustedInstaller, the system and Administrators change anything.
    const std::u16string madeInProgramFiles =
        u"D:AI(A;CIID;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)(A;ID;FA;;;SY)"
        u"(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)"
        u"(A;OICIIOID;GA;;;CO)(A;ID;0x1200a9;;;S-1-15-2-1)(A;OICIIOID;GXGR;;;S-1-15-2-1)";
    // One made in C:\ProgramData: users may add files and folders to it.
    const std::u16string madeInProgramData = u"D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;CIID;0x116;;;BU)";
    const std::u16string scratch = u"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    struct Row {
        const char* name;
        std::u16string sddl;
        std::wstring owner;
        FolderRole role;
        const wchar_t* problem;   // a part of the answer; empty when nobody else may change the folder
    };
    const Row rows[] = {
        {"C:\\ on the way", root, trustedInstaller, FolderRole::Above, L""},
        {"C:\\ as the program's own folder", root, trustedInstaller, FolderRole::Own, L"S-1-5-11 may add folders"},
        {"a folder made in C:\\", madeInRoot, kAdministrators, FolderRole::Own,
         L"S-1-5-11 may delete or rename it, add files, add folders, change its attributes (0x00010116)"},
        {"a folder made in Program Files", madeInProgramFiles, kAdministrators, FolderRole::Own, L""},
        {"a folder made in ProgramData", madeInProgramData, kAdministrators, FolderRole::Own,
         L"S-1-5-32-545 may add files, add folders, change its attributes"},
        {"owned by a standard user", madeInProgramFiles, kStandardUser, FolderRole::Own,
         L"its owner S-1-5-21-1004336348-1177238915-682003330-1001 may rewrite its list"},
        {"owner unread", madeInProgramFiles, L"", FolderRole::Above, L"its owner cannot be read"},
        {"generic rights on the folder itself", u"D:P(A;;FA;;;SY)(A;;GA;;;WD)", kAdministrators, FolderRole::Above,
         L"S-1-1-0 may delete or rename it"},
        {"a deny does not excuse an allow", u"D:P(D;;FA;;;BU)(A;;SD;;;BU)", kAdministrators, FolderRole::Above,
         L"S-1-5-32-545 may delete or rename it"},
        {"an entry of another kind", u"D:P(XA;;FA;;;BU)", kAdministrators, FolderRole::Above, L"entry 0 is of a kind"},
        // The scratch folder as Windows reads it back: D:PAI, not the D:P it was given.
        {"the scratch folder read back", scratch, kAdministrators, FolderRole::Scratch, L""},
        {"the scratch folder as the system made it", scratch, L"S-1-5-18", FolderRole::Scratch, L""},
        {"the scratch folder unprotected", u"D:AI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", kAdministrators,
         FolderRole::Scratch, L"its list is not protected"},
        {"users may change what the scratch folder makes", scratch + u"(A;OICIIO;0x1301bf;;;BU)", kAdministrators,
         FolderRole::Scratch, L"S-1-5-32-545 may change what is made inside: delete or rename it, add files"},
        // Wine keeps no lists: every entry reads back owned by its own user.
        {"Wine's made-up list", u"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)", kWineUser, FolderRole::Above,
         L"its owner S-1-5-21-0-0-0-1000 may rewrite its list"},
    };
    for (const Row& row : rows) {
        const std::wstring problem = WhoElseMayChange(FromSddl(row.sddl, row.owner), row.role);
        if (std::wstring(row.problem).empty()) {
            EXPECT_EQ(problem, L"") << row.name;
        } else {
            EXPECT_NE(problem.find(row.problem), std::wstring::npos)
                << row.name << ": " << model::Narrow(std::u16string(problem.begin(), problem.end()));
        }
    }
    AccessList none;
    none.owner = kAdministrators;
    EXPECT_EQ(WhoElseMayChange(none, FolderRole::Above), L"it has no DACL: everyone may change it");
}

// A file of the program's: whoever may write it, rename it or re-permit it. A folder an elevated
// mkdir made on Windows 10 or 11 is its maker's, with an entry for that account from the folder
// above's CREATOR OWNER; the refusal names who, so that the program can say how to mend it.
TEST(WhoElseMayChange, NamesWhoMayChangeAFileOrAFolderAnAdministratorMade) {
    const std::u16string fileInProgramFiles = u"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)(A;ID;0x1200a9;;;S-1-15-2-1)";
    EXPECT_EQ(WhoElseMayChange(FromSddl(fileInProgramFiles), FolderRole::File), L"");
    std::wstring who;
    EXPECT_NE(WhoElseMayChange(FromSddl(fileInProgramFiles + u"(A;ID;0x116;;;BU)"), FolderRole::File, &who)
                  .find(L"S-1-5-32-545 may write to it, append to it, change its attributes"),
              std::wstring::npos);
    EXPECT_EQ(who, L"S-1-5-32-545");
    const std::u16string madeByMkdir = u"D:AI(A;ID;FA;;;" + Utf16(kStandardUser) +
                                       u")(A;OICIIOID;GA;;;CO)(A;ID;FA;;;SY)(A;ID;FA;;;BA)";
    who.clear();
    EXPECT_NE(WhoElseMayChange(FromSddl(madeByMkdir, kStandardUser), FolderRole::Own, &who).find(L"may rewrite its list"),
              std::wstring::npos);
    EXPECT_EQ(who, kStandardUser);
    who.clear();
    EXPECT_NE(WhoElseMayChange(FromSddl(madeByMkdir, kAdministrators), FolderRole::Own, &who).find(L"may delete or rename it"),
              std::wstring::npos);
    EXPECT_EQ(who, kStandardUser);
    // The commands, as Microsoft's icacls page gives them: a SID in numerical form after a *.
    EXPECT_EQ(MendCommands(L"C:\\Program Files\\ppkg-verify"),
              L"icacls \"C:\\Program Files\\ppkg-verify\" /setowner \"*S-1-5-32-544\" /t /c, then icacls "
              L"\"C:\\Program Files\\ppkg-verify\" /inheritance:r /grant:r \"*S-1-5-18:(OI)(CI)F\" "
              L"\"*S-1-5-32-544:(OI)(CI)F\", then icacls \"C:\\Program Files\\ppkg-verify\\*\" /reset /t /c");
    // What the commands leave: the level's own list and what inside inherits from it, owned by
    // Administrators, which nobody else may change.
    EXPECT_EQ(WhoElseMayChange(FromSddl(u"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"), FolderRole::Own), L"");
    EXPECT_EQ(WhoElseMayChange(FromSddl(u"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)"), FolderRole::File), L"");
}

// ---- the rollback judge ---------------------------------------------------------------------

TEST(JudgeRollback, PassesOnlyWhenTheLevelsWereMadeAndThenRemovedDeepestFirst) {
    const std::vector<std::wstring> levels{L"new1", L"new1\\new2"};
    const LoggedChange made1{NameChange::Added, L"new1"};
    const LoggedChange made2{NameChange::Added, L"new1\\new2"};
    const LoggedChange gone1{NameChange::Removed, L"new1"};
    const LoggedChange gone2{NameChange::Removed, L"new1\\new2"};
    struct Row {
        const char* name;
        std::vector<LoggedChange> log;
        Verdict verdict;
        const wchar_t* detail;
    };
    const Row rows[] = {
        {"made, then removed", {made1, made2, gone2, gone1}, Verdict::Pass,
         L"new1 added, new1\\new2 added, new1\\new2 removed, new1 removed"},
        // What a launcher whose chain never creates anything leaves: the same folder as before.
        {"nothing made", {}, Verdict::Fail, L"new1 was never made"},
        {"made and left", {made1, made2}, Verdict::Fail, L"logged: new1 added, new1\\new2 added;"},
        {"one level only", {made1, gone1}, Verdict::Fail, L"expected: new1 added, new1\\new2 added"},
        {"a file made as well", {made1, made2, {NameChange::Added, L"new1\\new2\\status.txt"}, gone2, gone1},
         Verdict::Fail, L"new1\\new2\\status.txt added"},
    };
    for (const Row& row : rows) {
        const Outcome outcome = JudgeRollback(row.log, levels);
        EXPECT_EQ(outcome.verdict, row.verdict) << row.name;
        EXPECT_NE(outcome.detail.find(row.detail), std::wstring::npos) << row.name;
    }
}

// ---- the import table -----------------------------------------------------------------------

class ImageBuilder {
public:
    // A 64-bit image with one section at file offset and address kSection, holding the import
    // descriptors and then the names.
    explicit ImageBuilder(const std::vector<std::string>& dlls) : bytes_(kSize, 0) {
        Put(0, 2, 0x5A4D);
        Put(0x3C, 4, kPe);
        Put(kPe, 4, 0x4550);
        Put(kPe + 4, 2, 0x8664);
        Put(kPe + 6, 2, 1);                     // one section
        Put(kPe + 20, 2, kOptionalSize);
        const std::size_t optional = kPe + 24;
        Put(optional, 2, 0x20B);
        Put(optional + 24, 8, 0x140000000);     // image base above 4 GiB, as the launcher's
        Put(optional + 108, 4, 16);             // data directories
        Put(optional + 112 + 8, 4, kSection);   // the import directory
        const std::size_t section = optional + kOptionalSize;
        Put(section + 8, 4, kSectionSize);
        Put(section + 12, 4, kSection);
        Put(section + 16, 4, kSectionSize);
        Put(section + 20, 4, kSection);
        std::size_t name = kSection + (dlls.size() + 1) * 20;
        for (std::size_t i = 0; i < dlls.size(); ++i) {
            Put(kSection + i * 20 + 12, 4, name);
            std::copy(dlls[i].begin(), dlls[i].end(), bytes_.begin() + static_cast<std::ptrdiff_t>(name));
            name += dlls[i].size() + 1;
        }
        end_ = name;
    }
    // A delay descriptor as mingw-w64's delay-load libraries write it, at the section's upper
    // half: relative addresses, its module handle and tables beside it, its name `dll`; the
    // delay-import directory stays empty.
    void PlantDelayDescriptor(const std::string& dll) {
        constexpr std::size_t kAt = kSection + 0x100;
        constexpr std::size_t kName = kAt + 0x40;
        constexpr std::size_t kNames = kAt + 0x60;
        constexpr std::size_t kHint = kAt + 0x70;
        constexpr std::size_t kHandle = kAt + 0xA0;
        constexpr std::size_t kAddresses = kAt + 0xB0;
        const std::array<std::uint64_t, 5> fields{1, kName, kHandle, kAddresses, kNames};
        for (std::size_t i = 0; i < fields.size(); ++i) Put(kAt + 4 * i, 4, fields.at(i));
        std::copy(dll.begin(), dll.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(kName));
        Put(kNames, 8, kHint);
        const std::string function = "CommandLineToArgvW";
        std::copy(function.begin(), function.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(kHint + 2));
    }
    std::vector<std::uint8_t>& bytes() { return bytes_; }
    std::size_t end() const { return end_; }   // just past the last name's terminator
    // A little-endian field: where it starts, its width, its value, in that order as the format lists them.
    void Put(std::size_t at, std::size_t width, std::uint64_t value) {   // NOLINT(bugprone-easily-swappable-parameters)
        for (std::size_t i = 0; i < width; ++i) bytes_.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
    }

    static constexpr std::size_t kPe = 0x40;
    static constexpr std::size_t kOptionalSize = 0xF0;
    static constexpr std::size_t kSection = 0x200;
    static constexpr std::size_t kSectionSize = 0x200;
    static constexpr std::size_t kSize = kSection + kSectionSize;

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t end_ = 0;
};

TEST(ImportedDllNames, ReadsEveryNameOfTheImportTable) {
    ImageBuilder image({"KERNEL32.dll", "shcore.dll", "ADVAPI32.dll"});
    EXPECT_EQ(ImportedDllNames(image.bytes()), (std::vector<std::string>{"KERNEL32.dll", "shcore.dll", "ADVAPI32.dll"}));
}

// The toolchain leaves the delay-import directory empty: the descriptor is found by what it
// holds, and something that only looks like one is not taken.
TEST(ImportedDllNames, ReadsTheDelayDescriptorsMingwWrites) {
    ImageBuilder image({"KERNEL32.dll"});
    image.PlantDelayDescriptor("shcore.dll");
    EXPECT_EQ(ImportedDllNames(image.bytes()), (std::vector<std::string>{"KERNEL32.dll", "shcore.dll"}));
    ImageBuilder notADll({"KERNEL32.dll"});
    notADll.PlantDelayDescriptor("shcore");
    EXPECT_EQ(ImportedDllNames(notADll.bytes()), (std::vector<std::string>{"KERNEL32.dll"}));
}

TEST(OutsideKnownDlls, NamesTheImportsWindowsMightTakeFromTheProgramsFolder) {
    const std::vector<std::wstring> known{L"kernel32.dll", L"advapi32.dll", L"shcore.dll"};
    EXPECT_EQ(OutsideKnownDlls({"KERNEL32.dll", "ntdll.dll", "SHCORE.DLL", "tdh.dll"}, known),
              (std::vector<std::string>{"tdh.dll"}));
    // ExcludeFromKnownDlls takes a name off the list.
    EXPECT_EQ(OutsideKnownDlls({"KERNEL32.dll", "SHCORE.DLL"}, known, {L"shcore.dll"}), (std::vector<std::string>{"SHCORE.DLL"}));
    // An API set is a contract the loader resolves through its schema, never a file it looks for.
    const std::vector<std::string> apiSets{"api-ms-win-core-synch-l1-2-0.dll", "EXT-MS-WIN-ntuser-window-l1-1-0.dll"};
    std::vector<std::string> imports{"KERNEL32.dll", "apiary.dll"};
    imports.insert(imports.end(), apiSets.begin(), apiSets.end());
    EXPECT_EQ(OutsideKnownDlls(imports, known), (std::vector<std::string>{"apiary.dll"}));
    EXPECT_EQ(ApiSetNames(imports), apiSets);
}

TEST(ImportedDllNames, RefusesAnImageCutShortOrPointingOutsideItself) {
    ImageBuilder image({"KERNEL32.dll", "shcore.dll"});
    for (std::size_t size = 0; size < image.end(); ++size) {
        const std::vector<std::uint8_t> cut(image.bytes().begin(), image.bytes().begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_EQ(ImportedDllNames(cut), std::nullopt) << "cut at " << size;
    }
    image.Put(ImageBuilder::kSection + 12, 4, ImageBuilder::kSize + 0x1000);   // the first name's address
    EXPECT_EQ(ImportedDllNames(image.bytes()), std::nullopt);
}

// ---- the evidence verdict -------------------------------------------------------------------

std::string Utf16Report(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

// PowerShell's error view as powershell.exe writes it to a redirected error stream.
std::string ErrorView(const char* exception) {
    return std::string("Get-ProvisioningPackage : something went wrong\r\nAt line:1 char:1\r\n+ Get-ProvisioningPackage "
                       "-PackageId x\r\n+ ~~~~~~~~~~~~~~~~~~~~~~~\r\n    + CategoryInfo          : NotSpecified: (:) "
                       "[Get-ProvisioningPackage], ") +
           exception + "\r\n    + FullyQualifiedErrorId : Something,Get-ProvisioningPackage\r\n";
}

TEST(ReadErrorCategory, TellsAFailureOfTheCmdletFromOneBeforeItRan) {
    EXPECT_EQ(ReadErrorCategory(ErrorView("UnauthorizedAccessException")).command, "Get-ProvisioningPackage");
    EXPECT_EQ(ReadErrorCategory(ErrorView("UnauthorizedAccessException")).exception, "UnauthorizedAccessException");
    struct Row {
        const char* name = nullptr;
        PowerShellEvidence seen;
        bool failedWhileRunning = false;
    };
    const Row rows[] = {
        {"refused by the store", {true, "", 1, ErrorView("UnauthorizedAccessException")}, true},
        {"a binding error", {true, "", 1, ErrorView("ParameterBindingException")}, false},
        {"answered 0", {true, "", 0, ErrorView("UnauthorizedAccessException")}, false},
        {"no error at all", {true, "", 1, ""}, false},
        {"the command not found",
         {true, "", 1, "    + CategoryInfo          : ObjectNotFound: (Get-ProvisioningPackage:String) [], CommandNotFoundException\r\n"},
         false},
        {"another command failed", {true, "", 1, "    + CategoryInfo          : OpenError: (:) [Out-File], IOException\r\n"}, false},
        {"not run", {false, "", 1, ErrorView("UnauthorizedAccessException")}, false},
    };
    for (const Row& row : rows) EXPECT_EQ(FailedWhileRunning(row.seen), row.failedWhileRunning) << row.name;
}

// "go" only from a failure of the cmdlet while it ran; "no-go" when that failure reads as absent;
// the binding error, which the launcher's fixed command never makes, decides nothing.
TEST(JudgeQueryEvidence, GoOnlyFromAFailureWhileTheCmdletRan) {
    const std::string marker(kReservationMarker);
    const std::string mark = "\xFF\xFE";
    const std::string refused = ErrorView("UnauthorizedAccessException");
    const std::string binding = ErrorView("ParameterBindingException");
    const PowerShellEvidence absent{true, mark, 0, ""};
    const PowerShellEvidence bindingKeeps{true, marker, 1, binding};
    const PowerShellEvidence none;
    struct Row {
        const char* name = nullptr;
        PowerShellEvidence absent, binding, runtime;
        bool asSystem = false;
        Verdict verdict = Verdict::Pass;
        const wchar_t* detail = nullptr;
    };
    const Row rows[] = {
        // The three behaviours the bench's PowerShell models.
        {"the binding error keeps the marker, the failure empties the target", absent, bindingKeeps,
         {true, "", 1, refused}, false, Verdict::Fail, L"PowerShell's exit code differs (0 for the absent package, 1"},
        {"the failure keeps the marker", absent, bindingKeeps, {true, marker, 1, refused}, false, Verdict::Pass,
         L"go: an absent package leaves the byte-order mark alone (read as absent, PowerShell's exit code 0)"},
        {"the binding error alone keeps the marker: no go from it", absent, bindingKeeps, none, false,
         Verdict::CannotPrepare, L"no failure of Get-ProvisioningPackage while it ran could be caused here"},
        {"the failure truncates to the mark", absent, bindingKeeps, {true, mark, 1, refused}, false, Verdict::Fail,
         L"A query that fails while the cmdlet runs reads as an absent package here"},
        {"the binding error empties the target, the failure keeps the marker", absent, {true, "", 1, binding},
         {true, marker, 1, refused}, false, Verdict::Pass, L"reads as absent."},
        {"8-bit error text is no report", absent, bindingKeeps, {true, "error\r\n", 1, refused}, false, Verdict::Pass,
         L"go: "},
        {"the same exit code too", absent, bindingKeeps, {true, mark, 0, refused}, false, Verdict::CannotPrepare,
         L"could be caused"},
        {"the store let the query in", absent, bindingKeeps, {true, mark, 0, ""}, false, Verdict::CannotPrepare,
         L"no failure of Get-ProvisioningPackage"},
        {"as the system account the store let it in", absent, bindingKeeps, {true, mark, 0, ""}, true, Verdict::Info,
         L"the administrator's run of this program shows it"},
        {"as the system account the store refused it", absent, bindingKeeps, {true, "", 1, refused}, true,
         Verdict::Fail, L"no-go: "},
        {"an absent package keeps the marker", {true, marker, 0, ""}, bindingKeeps, {true, marker, 1, refused}, false,
         Verdict::Fail, L"An absent package reads as 'could not ask' here"},
        {"an absent package reads as installed", {true, Utf16Report(u"IsInstalled     : True\r\n"), 0, ""}, bindingKeeps,
         {true, marker, 1, refused}, false, Verdict::Fail, L"reads as installed"},
        {"no evidence in this run", none, none, {true, marker, 1, refused}, false, Verdict::CannotPrepare, L"gave no bytes"},
    };
    for (const Row& row : rows) {
        QueryEvidence evidence;
        evidence.absent = row.absent;
        evidence.binding = row.binding;
        evidence.runtime = row.runtime;
        evidence.asSystem = row.asSystem;
        const Outcome outcome = JudgeQueryEvidence(evidence);
        EXPECT_EQ(outcome.verdict, row.verdict) << row.name;
        EXPECT_NE(outcome.detail.find(row.detail), std::wstring::npos)
            << row.name << ": " << model::Narrow(std::u16string(outcome.detail.begin(), outcome.detail.end()));
        EXPECT_EQ(outcome.detail.find(L"can be trusted"), std::wstring::npos) << row.name;
    }
}

// ---- what redirection-guard proves -----------------------------------------------------------

TEST(JudgeRedirectionGuard, ProvesTheLaunchersOwnProcess) {
    GuardSeen shown;
    shown.ran = true;
    shown.policyKnown = true;
    shown.launcherLooks = 4;
    shown.launcherLooksGuarded = 4;
    shown.throughUsers = kErrorUntrustedMountPoint;
    shown.throughAdmins = 0;
    struct Row {
        const char* name = nullptr;
        GuardSeen seen;
        Verdict verdict = Verdict::Pass;
        const wchar_t* detail = nullptr;
    };
    const auto with = [&](auto change) {
        GuardSeen seen = shown;
        change(seen);
        return seen;
    };
    const Row rows[] = {
        {"shown", shown, Verdict::Pass, L"the launcher's process runs with RedirectionGuard on (4 of 4 looks"},
        // A launcher that never switches the policy on: this program's own demonstration is no pass.
        {"a launcher without the policy", with([](GuardSeen& s) { s.launcherLooksGuarded = 0; }), Verdict::Fail,
         L"the launcher's process ran without RedirectionGuard"},
        {"the launcher switched it off again", with([](GuardSeen& s) { s.launcherLooksGuarded = 3; }), Verdict::Fail,
         L"on in 3 of 4 looks"},
        {"the launcher never looked at while it ran a tool", with([](GuardSeen& s) { s.launcherLooks = s.launcherLooksGuarded = 0; }),
         Verdict::CannotPrepare, L"could not be looked at"},
        {"the launcher's run settled it", with([](GuardSeen& s) { s.run = Fail(L"the launcher ended with 0x4641494C"); }),
         Verdict::Fail, L"0x4641494C"},
        {"no RedirectionGuard on this Windows", with([](GuardSeen& s) { s.policyKnown = false; }), Verdict::Info,
         L"this Windows has no RedirectionGuard"},
        {"as the system account", with([](GuardSeen& s) { s.asSystem = true; s.throughUsers = 0; }), Verdict::Info,
         L"shown by the administrator's run"},
        {"as the system account, a launcher without it", with([](GuardSeen& s) { s.asSystem = true; s.launcherLooksGuarded = 0; }),
         Verdict::Fail, L"ran without RedirectionGuard"},
        {"the user's junction followed", with([](GuardSeen& s) { s.throughUsers = 0; }), Verdict::Fail,
         L"without administrators' rights: opened"},
        {"the control not followed", with([](GuardSeen& s) { s.throughAdmins = 5; }), Verdict::CannotPrepare,
         L"the control is not followed either"},
        {"refused otherwise", with([](GuardSeen& s) { s.throughUsers = 5; }), Verdict::CannotPrepare,
         L"refused, but not as untrusted"},
        {"not planted", with([](GuardSeen& s) { s.plantProblem = L"CreateRestrictedToken failed (error 5)"; }),
         Verdict::CannotPrepare, L"CreateRestrictedToken failed"},
    };
    for (const Row& row : rows) {
        const Outcome outcome = JudgeRedirectionGuard(row.seen);
        EXPECT_EQ(outcome.verdict, row.verdict) << row.name;
        EXPECT_NE(outcome.detail.find(row.detail), std::wstring::npos)
            << row.name << ": " << model::Narrow(std::u16string(outcome.detail.begin(), outcome.detail.end()));
    }
}

TEST(DescribeGuardedChildren, SaysWhetherTheLaunchersToolsRanWithIt) {
    GuardSeen seen;
    EXPECT_NE(DescribeGuardedChildren(seen).detail.find(L"did not run"), std::wstring::npos);
    seen.ran = true;
    seen.policyKnown = true;
    EXPECT_NE(DescribeGuardedChildren(seen).detail.find(L"no tool the launcher started"), std::wstring::npos);
    seen.children = {{L"powershell.exe", 4242, false}, {L"conhost.exe", 4243, std::nullopt}};
    const Outcome outcome = DescribeGuardedChildren(seen);
    EXPECT_EQ(outcome.verdict, Verdict::Info);
    EXPECT_EQ(outcome.detail, L"powershell.exe (process 4242): RedirectionGuard off; conhost.exe (process 4243): its policy "
                              L"could not be read (the launcher switches it on for its own process only)");
}

// ---- what a case opens to another account ----------------------------------------------------

// The list put on a plant folder, or on PowerShell's target and its folder, grants the one
// account the step needs and nobody else anything: never Authenticated Users, Users or Everyone,
// nothing passed on, nothing that re-permits, deletes or takes over the entry.
TEST(OneAccountList, GrantsThatAccountAloneAndNothingInheritable) {
    const std::wstring account = kStandardUser;
    for (const std::uint32_t rights : {kAddOneFolderRights, kLookInFolderRights, kRewriteFileRights}) {
        const std::optional<std::wstring> list = OneAccountList(account, rights);
        ASSERT_TRUE(list.has_value());
        const AccessList read = FromSddl(std::u16string(list->begin(), list->end()));
        EXPECT_TRUE(read.isProtected);
        ASSERT_EQ(read.entries.size(), 3U);
        for (const AceEntry& e : read.entries) {
            EXPECT_EQ(e.type, AceType::Allow);
            EXPECT_FALSE(e.objectInherit || e.containerInherit || e.inheritOnly || e.inherited);
            for (const wchar_t* everyone : {L"S-1-5-11", L"S-1-5-32-545", L"S-1-1-0", L"S-1-5-4"}) EXPECT_NE(e.sid, everyone);
        }
        EXPECT_EQ(read.entries[2].sid, account);
        EXPECT_EQ(read.entries[2].mask, rights);
        // With the account's entry taken out the list is the system's and Administrators' alone.
        AccessList adminsOnly = read;
        adminsOnly.entries.pop_back();
        EXPECT_EQ(WhoElseMayChange(adminsOnly, FolderRole::Scratch), L"");
    }
    EXPECT_EQ(OneAccountList(L"S-1-12-1-1234-5678-9012-3456", kAddOneFolderRights).has_value(), true);
    for (const wchar_t* group : {L"S-1-5-11", L"S-1-5-32-545", L"S-1-1-0", L"S-1-5-18", L"S-1-5-32-544", L"", L"S-1-5-21-",
                                 L"S-1-5-21-1-2)(A;;FA;;;AU", L"S-1-5-21--1"}) {
        EXPECT_EQ(OneAccountList(group, kAddOneFolderRights), std::nullopt) << Narrow(group);
    }
    for (const std::uint32_t rights : {0U, 0x10000000U, 0x00010000U, 0x00040000U, 0x00080000U, 0x001F01FFU}) {
        EXPECT_EQ(OneAccountList(account, rights), std::nullopt) << rights;
    }
}

// ---- the report line --------------------------------------------------------------------------

TEST(ReportLineProblem, WantsTheLineThatGoesWithTheExitCode) {
    struct Row {
        const char* bytes;
        unsigned long exitCode;
        const wchar_t* problem;   // a part of it; empty when the report is right
    };
    const Row rows[] = {
        {"Not installed\n", 1, L""},
        {"Version=1.0.2\n", 0, L""},
        {"Version=\n", 0, L""},
        // A launcher that writes nothing and answers 0 would pass an empty report.
        {"", 0, L"exit 0 but the report is empty"},
        {"Not installed\n", 0, L"no Version= line"},
        {"Version=1.0\nVersion=2.0\n", 0, L"no Version= line"},
        {"Version=1.0", 0, L"no Version= line"},
        {"", 1, L"not \"Not installed\""},
        {"Version=1.0\n", 1, L"not \"Not installed\""},
        {"Not installed\n", 2, L"neither 0 nor 1"},
    };
    for (const Row& row : rows) {
        const std::wstring problem = ReportLineProblem(row.bytes, row.exitCode);
        if (std::wstring(row.problem).empty()) {
            EXPECT_EQ(problem, L"") << row.bytes;
        } else {
            EXPECT_NE(problem.find(row.problem), std::wstring::npos) << row.bytes;
        }
    }
}

// ---- temp reports and path lengths -----------------------------------------------------------

TEST(JudgeTempReports, RemovesOnlyWhatThisProgramsOwnRunsMade) {
    const std::vector<std::wstring> left{L"norv4c7d2a00-91e3-4b58-a6f2-3d05c123.pkt"};
    const std::vector<std::wstring> other{L"ppkg-launcher.exe (process 4242)"};
    struct Row {
        const char* name = nullptr;
        TempReportsSeen seen;
        bool endedByItself = false;
        Verdict verdict = Verdict::Pass;
        bool remove = false;
        const wchar_t* detail = nullptr;
    };
    const Row rows[] = {
        {"nothing left", {true, {}, {}}, true, Verdict::Pass, false, L""},
        {"left in its own folder", {true, left, {}}, true, Verdict::Fail, true, L"left a temp report behind"},
        {"left by a run that was ended", {true, left, {}}, false, Verdict::Pass, true, L""},
        {"appeared in a shared folder", {false, left, {}}, true, Verdict::CannotPrepare, false, L"left alone"},
        {"appeared there while the run hung", {false, left, {}}, false, Verdict::CannotPrepare, false, L"left alone"},
        {"another run around the case", {true, {}, other}, true, Verdict::CannotPrepare, false, L"process 4242"},
        {"another run and a report of its own", {true, left, other}, true, Verdict::CannotPrepare, true,
         L"another run of the launcher"},
    };
    for (const Row& row : rows) {
        const TempReportsJudgement judgement = JudgeTempReports(row.seen, row.endedByItself);
        EXPECT_EQ(judgement.verdict, row.verdict) << row.name;
        EXPECT_EQ(judgement.removeAppeared, row.remove) << row.name;
        EXPECT_NE(judgement.detail.find(row.detail), std::wstring::npos) << row.name;
    }
}

TEST(TooLongForTheLauncher, LeavesTheLauncherNothingToRefuseForLength) {
    const std::wstring folder = L"C:\\" + std::wstring(250, L'f');
    EXPECT_EQ(TooLongForTheLauncher(folder.substr(0, 247) + L"\\" + std::wstring(11, L'r')), L"");   // 259 in all
    EXPECT_NE(TooLongForTheLauncher(folder.substr(0, 247) + L"\\" + std::wstring(12, L'r')).find(L"260 characters"),
              std::wstring::npos);
    EXPECT_NE(TooLongForTheLauncher(folder.substr(0, 248) + L"\\status.txt").find(L"make folders"), std::wstring::npos);
}

// ---- the command lines Windows must split as the model does ---------------------------------

TEST(SplitRows, AreWhatTheModelSplitsThemInto) {
    for (const SplitRow& row : kSplitRows) {
        model::FakeWindows os;
        const std::vector<std::u16string> expected(row.arguments.begin(),
                                                   row.arguments.begin() + static_cast<std::ptrdiff_t>(row.count));
        EXPECT_EQ(os.SplitCommandLine(row.commandLine), expected) << model::Narrow(row.commandLine);
    }
}

}  // namespace
}  // namespace verify
