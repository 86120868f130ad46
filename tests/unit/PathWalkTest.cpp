#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "report/PathWalk.h"
#include "report/StatusReportWriter.h"
#include "tests/unit/ReportFixture.h"
#include "tests/unit/TraceExpectations.h"

// The report path walked through held handles, seen from what the writer leaves on disk: a link
// at any level refuses it, and nothing another user does between any two of the walk's calls
// leads a write elsewhere.
namespace report {
namespace {

using Paths = std::vector<std::u16string>;
const std::string kText = "Version=10.0.1.3\n";
const std::u16string kReport = u"C:\\ProgramData\\Org\\Logs\\status.txt";

// C:\ProgramData\Org, an administrator's folder, holds nothing yet and has the list it inherits
// there: Users may add entries and write its attributes. C:\Windows is what a link would lead the
// report into.
struct ProgramDataFixture : ReportFixture {
    ProgramDataFixture() {
        os.AddDirectory(u"C:\\ProgramData");
        os.Find(u"C:\\ProgramData")->sddl = kProgramDataSddl;
        os.AddDirectory(u"C:\\ProgramData\\Org");
        os.Find(u"C:\\ProgramData\\Org")->sddl =
            u"D:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIIOID;GA;;;CO)(A;OICIID;0x1200a9;;;BU)(A;CIID;0x116;;;BU)";
        os.AddDirectory(u"C:\\Windows\\Logs");
        os.AddFile(u"C:\\Windows\\Logs\\status.txt", "the system's own");
        os.AddDirectory(u"C:\\Windows\\Temp");
    }
    void Write(const std::u16string& path) {
        WriteStatusReport(os, path, kText);
        EXPECT_EQ(os.OpenHandleCount(), 0u) << model::Narrow(path);
        EXPECT_EQ(os.LiveDescriptorCount(), 0u) << model::Narrow(path);
    }
    // Whatever the run did, nothing under C:\Windows changes.
    std::map<std::u16string, std::string> Windows() const {
        std::map<std::u16string, std::string> all = Snapshot();
        std::erase_if(all, [](const auto& entry) { return entry.first.rfind(u"C:\\Windows", 0) != 0; });
        return all;
    }
};

// How many calls a plain run of the writer on kReport makes.
std::size_t CallsOfAPlainRun() {
    ProgramDataFixture f;
    f.Write(kReport);
    EXPECT_EQ(f.At(kReport)->content, kText);
    return f.os.calls.size();
}

// A run on kReport in which another user's `move` comes just before the writer's `at`th call.
// Whatever it did, nothing under C:\Windows changes, and a report, where there is one, holds the
// text.
void WriteWithMoveBefore(ProgramDataFixture& f, std::size_t at, const std::string& name,
                         const std::function<void(model::FakeWindows&)>& move) {
    const auto windows = f.Windows();
    std::size_t seen = 0;
    f.os.beforeCall = [&](model::FakeWindows& os, const std::string&, const std::u16string&) {
        if (seen++ == at) move(os);
    };
    f.Write(kReport);
    f.os.beforeCall = nullptr;
    EXPECT_EQ(f.Windows(), windows) << name;
    if (f.os.entries.count(kReport) != 0) {
        EXPECT_EQ(f.os.entries[kReport].content, kText) << name;
    }
}

// A link at each level of C:\ProgramData\Org\Logs\status.txt, or of the current directory a
// relative path is resolved against: a junction, a symbolic link (absolute or relative) or any
// other name surrogate, made by a user, by Administrators, by the system or by TrustedInstaller.
// Every one refuses the path at its level and leaves everything as it was, whoever made it and
// wherever it leads; the same path without the link is written. A copy of the walk that followed
// an administrators' link would write C:\Windows\Logs\status.txt here.
TEST(PathWalk, RefusesEveryLinkAtEveryLevelWhoeverMadeIt) {
    struct Kind {
        const char* name;
        std::uint32_t tag;
        const char16_t* target;
        const char* traced;
    };
    const Kind kinds[] = {
        {"junction", platform::kReparseTagMountPoint, u"C:\\Windows\\Logs", "junction"},
        {"symbolic link", platform::kReparseTagSymlink, u"C:\\Windows\\Logs", "symbolic link"},
        {"relative symbolic link", platform::kReparseTagSymlink, u"..\\..\\Windows\\Logs", "symbolic link"},
        {"other name surrogate", 0xA0000019u, u"C:\\Windows\\Logs", "link"},
    };
    const std::pair<const char*, std::u16string_view> owners[] = {
        {"a user", model::kUserSid},
        {"Administrators", model::kAdministratorsSid},
        {"the system", model::kSystemSid},
        {"TrustedInstaller", model::kTrustedInstallerSid},
    };
    struct Level {
        const char16_t* link;     // replaced by the link
        std::u16string path;      // the report path given
        const char16_t* current;  // the current directory, when the path is relative
    };
    const Level levels[] = {
        {u"C:\\ProgramData", kReport, nullptr},
        {u"C:\\ProgramData\\Org", kReport, nullptr},
        {u"C:\\ProgramData\\Org\\Logs", kReport, nullptr},
        {u"C:\\ProgramData\\Org", u"Logs\\status.txt", u"C:\\ProgramData\\Org"},
    };
    for (const Level& level : levels) {
        {
            ProgramDataFixture control;
            if (level.current != nullptr) control.os.currentDirectory = level.current;
            control.Write(level.path);
            ASSERT_NE(control.At(kReport), nullptr) << model::Narrow(level.path) << ": the control";
            EXPECT_EQ(control.At(kReport)->content, kText) << model::Narrow(level.path) << ": the control";
        }
        for (const Kind& kind : kinds) {
            for (const auto& [who, sid] : owners) {
                const std::string name = model::Narrow(level.link) + " " + kind.name + " made by " + who;
                ProgramDataFixture f;
                const std::u16string link = level.link;
                std::erase_if(f.os.entries, [&](const auto& entry) {
                    return entry.first.rfind(link + u"\\", 0) == 0 || entry.first == link;
                });
                f.os.AddLink(link, kind.tag, kind.target, true, sid);
                if (level.current != nullptr) f.os.currentDirectory = level.current;
                const auto before = f.Snapshot();
                f.Write(level.path);
                EXPECT_EQ(f.Snapshot(), before) << name;
                const std::optional<model::RecordedEvent> refused = model::FirstEvent(f.os, "ReportPathRefused");
                ASSERT_TRUE(refused) << name;
                EXPECT_EQ(refused->Field("Level"), model::Narrow(link)) << name;
                EXPECT_EQ(refused->Field("Link"), kind.traced) << name;
            }
        }
    }
}

// Reparse points that stand for no other entry (cloud files, deduplicated files; the bit without a
// tag that Wine shows for a Unix link) are walked through like folders; a junction is refused
// whichever separators lead to it.
TEST(PathWalk, WalksThroughReparsePointsThatAreNoLinks) {
    struct Case {
        const char* name;
        std::u16string path;
        const char16_t* report;   // nullptr: refused, nothing changed
    };
    const Case cases[] = {
        {"forward slashes through a user's junction", u"C:/junction/new/status.txt", nullptr},
        {"mixed separators through a user's junction", u"C:\\junction/status.txt", nullptr},
        {"file part through a user's junction", u"C:\\x\\..\\junction/status.txt", nullptr},
        {"an administrator's junction", u"C:\\adminjunction\\status.txt", nullptr},
        {"cloud files folder", u"C:\\other\\new\\status.txt", u"C:\\other\\new\\status.txt"},
        {"what Wine shows for a link", u"C:\\winelink\\status.txt", u"C:\\winelink\\status.txt"},
    };
    for (const Case& c : cases) {
        ReportFixture f;
        auto before = f.Snapshot();
        WriteStatusReport(f.os, c.path, kText);
        EXPECT_EQ(f.os.OpenHandleCount(), 0u) << c.name;
        auto after = f.Snapshot();
        if (c.report != nullptr) {
            ASSERT_NE(f.At(c.report), nullptr) << c.name;
            EXPECT_EQ(f.At(c.report)->content, kText) << c.name;
            for (const std::u16string& made : f.os.madeDirectories) after.erase(made);
            after.erase(*f.os.Resolve(c.report));
        }
        EXPECT_EQ(after, before) << c.name;
    }
}

// At every call of the walk, another user tries to rename one level of the path away and put a
// junction to C:\Windows\Temp in its place. A level the walk holds is open for traverse without
// delete sharing, so the rename is refused (MS-FSA 2.1.5.1.2.2); one it does not hold yet is
// judged when it gets there, and one it has let go of no longer matters. Nothing reaches
// C:\Windows, and the report is written at its own place or not at all.
TEST(PathWalk, ALevelTheWalkHoldsCannotBeSwappedAndNoneRedirects) {
    const Paths swappable = {u"C:\\ProgramData", u"C:\\ProgramData\\Org", u"C:\\ProgramData\\Org\\Logs"};
    const std::size_t calls = CallsOfAPlainRun();
    int swapped = 0;
    int refused = 0;
    for (const std::u16string& level : swappable) {
        for (std::size_t at = 0; at < calls; ++at) {
            const std::string name = model::Narrow(level) + " before call " + std::to_string(at);
            ProgramDataFixture f;
            bool afterWrite = false;
            WriteWithMoveBefore(f, at, name, [&](model::FakeWindows& os) {
                afterWrite = std::any_of(os.calls.begin(), os.calls.end(),
                                         [](const std::string& call) { return call.rfind("WriteBytes", 0) == 0; });
                model::Entry junction;
                junction.attributes = platform::kAttributeDirectory;
                junction.reparseTag = platform::kReparseTagMountPoint;
                junction.target = u"C:\\Windows\\Temp";
                junction.owner = model::kUserSid;
                const bool held = os.IsHeld(level);
                const bool replaced = os.ReplaceAsUser(level, junction);
                EXPECT_EQ(replaced, !held) << name << ": a held level is pinned, and only a held one";
                if (replaced) {
                    ++swapped;
                } else {
                    ++refused;
                }
            });
            // Nothing but a report at its own place, or in a level renamed away after it was written.
            for (const auto& [key, entry] : f.os.entries) {
                if (entry.content == kText) {
                    EXPECT_TRUE(key == kReport || (key.find(u".moved") != std::u16string::npos && afterWrite))
                        << name << ": " << model::Narrow(key);
                }
            }
        }
    }
    EXPECT_GT(swapped, 0);
    EXPECT_GT(refused, 0);
}

// At every call of the walk, another user turns one level into a junction to C:\Windows\Logs, which
// holds a status.txt of its own: C:\ProgramData\Org while it is empty (an administrator's folder
// there lets Users write its attributes, all FSCTL_SET_REPARSE_POINT needs, MS-FSA 2.1.5.10.37), or
// the level the walk made, until the new report is in it (a reparse point goes only on an empty
// directory). Holding a level does not stop this. What an open relative to such a level does is
// undocumented: the model answers each reading a machine may show (refused, or made in the
// junction's own folder), and under each nothing is made, written or replaced behind it.
TEST(PathWalk, ALevelMadeAJunctionAfterItsCheckLeadsNothingAwayUnderEitherReading) {
    const std::size_t calls = CallsOfAPlainRun();
    for (const model::FakeWindows::HeldJunction reading :
         {model::FakeWindows::HeldJunction::Refused, model::FakeWindows::HeldJunction::InTheFolderItself}) {
        const std::string readingName =
            reading == model::FakeWindows::HeldJunction::Refused ? "refused" : "in the folder itself";
        for (const std::u16string level : {u"C:\\ProgramData\\Org", u"C:\\ProgramData\\Org\\Logs"}) {
            int madeJunction = 0;
            for (std::size_t at = 0; at < calls; ++at) {
                const std::string name = model::Narrow(level) + ", " + readingName + ", before call " + std::to_string(at);
                ProgramDataFixture f;
                f.os.heldJunction = reading;
                WriteWithMoveBefore(f, at, name, [&](model::FakeWindows& os) {
                    if (os.Exists(level) &&
                        os.SetReparseAsUser(level, platform::kReparseTagMountPoint, u"C:\\Windows\\Logs")) {
                        ++madeJunction;
                    }
                });
            }
            EXPECT_GT(madeJunction, 0) << model::Narrow(level) << ", " << readingName;
        }
    }
}

// A failed chain is undone through the handles of the levels it made, deepest first, each only
// while empty: what another user planted inside stays, with the level holding it, and whatever
// a planted link leads to is untouched.
TEST(PathWalk, RollbackRemovesOnlyItsOwnEmptyLevels) {
    struct Case {
        const char* name;
        const char16_t* plantedAt;   // nullptr: nothing planted
        std::function<model::Entry()> plant;
        Paths staying;               // levels made that stay
    };
    const auto link = [](std::uint32_t tag) {
        return [tag] {
            model::Entry entry;
            entry.attributes = platform::kAttributeDirectory;
            entry.reparseTag = tag;
            entry.target = u"C:\\victim";
            entry.owner = model::kUserSid;
            return entry;
        };
    };
    const auto file = [] {
        model::Entry entry;
        entry.content = "theirs";
        entry.owner = model::kUserSid;
        return entry;
    };
    const Case cases[] = {
        {"nothing planted", nullptr, nullptr, {}},
        {"directory link in the first level", u"C:\\data\\new\\planted", link(platform::kReparseTagSymlink),
         {u"C:\\data\\new"}},
        {"junction in the first level", u"C:\\data\\new\\planted", link(platform::kReparseTagMountPoint),
         {u"C:\\data\\new"}},
        {"file in the first level", u"C:\\data\\new\\planted", file, {u"C:\\data\\new"}},
        {"file in the deepest level", u"C:\\data\\new\\sub\\planted", file, {u"C:\\data\\new", u"C:\\data\\new\\sub"}},
    };
    for (const Case& c : cases) {
        ReportFixture f;
        f.os.AddDirectory(u"C:\\data");
        f.os.AddDirectory(u"C:\\victim");
        f.os.AddFile(u"C:\\victim\\keep.txt", "keep");
        f.os.failCreate.insert(u"C:\\data\\new\\sub\\last");
        const auto before = f.Snapshot();
        f.os.beforeCall = [&c](model::FakeWindows& os, const std::string& operation, const std::u16string& path) {
            if (c.plant && operation == "CreateChildDirectory" && path == u"C:\\data\\new\\sub\\last") {
                EXPECT_TRUE(os.ReplaceAsUser(c.plantedAt, c.plant())) << c.name;
            }
        };
        WriteStatusReport(f.os, u"C:\\data\\new\\sub\\last\\status.txt", kText);
        f.os.beforeCall = nullptr;
        EXPECT_EQ(f.os.OpenHandleCount(), 0u) << c.name;
        std::vector<std::string> deletes;
        std::copy_if(f.os.calls.begin(), f.os.calls.end(), std::back_inserter(deletes),
                     [](const std::string& call) { return call.rfind("MarkForDeletion", 0) == 0; });
        EXPECT_EQ(deletes, (std::vector<std::string>{"MarkForDeletion C:\\data\\new\\sub",
                                                     "MarkForDeletion C:\\data\\new"}))
            << c.name;
        EXPECT_EQ(f.At(u"C:\\victim\\keep.txt")->content, "keep") << c.name;
        auto after = f.Snapshot();
        if (c.plantedAt != nullptr) {
            EXPECT_NE(after.erase(c.plantedAt), 0u) << c.name;
        }
        for (const std::u16string& staying : c.staying) {
            EXPECT_NE(after.erase(staying), 0u) << c.name << ": " << model::Narrow(staying);
        }
        EXPECT_EQ(after, before) << c.name;
    }
}

// A level this walk made that someone turns into a junction before the rollback is no longer
// only what the walk made: the walk neither goes through it nor removes it.
TEST(PathWalk, RollbackLeavesALevelMadeAJunctionMeanwhile) {
    ReportFixture f;
    f.os.AddDirectory(u"C:\\data");
    f.os.AddDirectory(u"C:\\victim");
    f.os.AddFile(u"C:\\victim\\keep.txt", "keep");
    f.os.beforeCall = [](model::FakeWindows& os, const std::string& operation, const std::u16string& path) {
        if (operation == "CreateChildFile" && path == u"C:\\data\\new\\~ppkg-launcher-1.tmp") {
            EXPECT_TRUE(os.SetReparseAsUser(u"C:\\data\\new", platform::kReparseTagMountPoint, u"C:\\victim"));
        }
    };
    WriteStatusReport(f.os, u"C:\\data\\new\\status.txt", kText);
    f.os.beforeCall = nullptr;
    EXPECT_EQ(f.os.OpenHandleCount(), 0u);
    EXPECT_EQ(std::count_if(f.os.calls.begin(), f.os.calls.end(),
                            [](const std::string& call) { return call.rfind("MarkForDeletion", 0) == 0; }),
              0);
    ASSERT_NE(f.At(u"C:\\data\\new"), nullptr);
    EXPECT_EQ(f.At(u"C:\\data\\new")->reparseTag, platform::kReparseTagMountPoint);
    EXPECT_EQ(f.At(u"C:\\victim\\status.txt"), nullptr);
    EXPECT_EQ(f.At(u"C:\\victim\\keep.txt")->content, "keep");
}

}  // namespace
}  // namespace report
