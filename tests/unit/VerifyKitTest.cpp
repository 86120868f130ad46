// The judging code of ppkg-verify, which settles on a Windows machine what the model and Wine
// cannot: each guard against a pass that proves nothing, on the inputs that would fool it.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/model/FakeWindows.h"
#include "tests/model/Sddl.h"
#include "tests/verify/AclJudge.h"
#include "tests/verify/PeImports.h"
#include "tests/verify/RollbackJudge.h"
#include "tests/verify/SplitRows.h"
#include "tests/verify/Verdicts.h"

namespace verify {
namespace {

std::wstring Wide(std::u16string_view text) { return {text.begin(), text.end()}; }

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
        EXPECT_EQ(tally.ClosingLine(), run.closing) << run.name;
        EXPECT_EQ(tally.ExitCode(), run.exitCode) << run.name;
    }
}

TEST(Tally, AFailureOutsideTheCasesFailsTheRun) {
    Tally tally;
    tally.Settle({L"report-written", nullptr, nullptr, nullptr, Kind::Baseline}, {Verdict::Pass, L""});
    tally.AddFailure();
    EXPECT_EQ(tally.ClosingLine(), L"1 passed, 1 failed, 0 not prepared");
    EXPECT_EQ(tally.ExitCode(), kExitFailed);
}

// ---- the access-list judge ------------------------------------------------------------------

AccessList FromSddl(std::u16string_view sddl) {
    const std::optional<model::Dacl> dacl = model::ParseDacl(sddl);
    EXPECT_TRUE(dacl.has_value()) << model::Narrow(std::u16string(sddl));
    AccessList list;
    if (!dacl) return list;
    list.present = true;
    list.isProtected = dacl->isProtected;
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
        const std::wstring problem = JudgeReportList(FromSddl(row.sddl), row.directory);
        if (std::wstring(row.problem).empty()) {
            EXPECT_EQ(problem, L"") << row.name;
        } else {
            EXPECT_NE(problem.find(row.problem), std::wstring::npos) << row.name << ": " << model::Narrow(std::u16string(problem.begin(), problem.end()));
        }
    }
}

TEST(JudgeReportList, ANullListGrantsEverything) {
    EXPECT_EQ(JudgeReportList(AccessList{}, false), L"no DACL: everyone has full access");
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

TEST(ImportedDllNames, RefusesAnImageCutShortOrPointingOutsideItself) {
    ImageBuilder image({"KERNEL32.dll", "shcore.dll"});
    for (std::size_t size = 0; size < image.end(); ++size) {
        const std::vector<std::uint8_t> cut(image.bytes().begin(), image.bytes().begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_EQ(ImportedDllNames(cut), std::nullopt) << "cut at " << size;
    }
    image.Put(ImageBuilder::kSection + 12, 4, ImageBuilder::kSize + 0x1000);   // the first name's address
    EXPECT_EQ(ImportedDllNames(image.bytes()), std::nullopt);
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
