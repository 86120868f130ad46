#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "report/PathWalk.h"
#include "report/StatusReportWriter.h"
#include "tests/unit/ReportFixture.h"

// The report path walked through held handles, seen from what the writer leaves on disk: where
// a link on the path leads, who may have made it, and what another user can do between any two
// of the walk's calls.
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
    // Whatever the run did, nothing under C:\Windows changed unless a trusted link led there.
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

struct LinkKind {
    const char* name;
    std::uint32_t tag;
    const char16_t* target;
};
struct Owner {
    const char* name;
    std::u16string_view sid;
    std::u16string_view sddl;
    bool trusted;
};

// A link at each level of C:\ProgramData\Org\Logs\status.txt: a link, a junction or any other
// name surrogate, made by a user, by Administrators, by the system or by TrustedInstaller, or by
// an administrator but left for users to change. A trusted link is followed and the report
// lands behind it, with the missing levels made there; any other leaves everything as it was.
TEST(PathWalk, FollowsALinkAtAnyLevelOnlyWhenTrusted) {
    const LinkKind kinds[] = {
        {"junction", platform::kReparseTagMountPoint, u"C:\\Windows"},
        {"symbolic link", platform::kReparseTagSymlink, u"C:\\Windows"},
        {"relative symbolic link", platform::kReparseTagSymlink, u"..\\Windows"},
        {"other name surrogate", 0xA0000019u, u"C:\\Windows"},
    };
    const Owner owners[] = {
        {"user", model::kUserSid, u"", false},
        {"Administrators", model::kAdministratorsSid, u"", true},
        {"system", model::kSystemSid, u"", true},
        {"TrustedInstaller", model::kTrustedInstallerSid, u"", true},
        {"Administrators, users may change it", model::kAdministratorsSid, model::kUsersMayWriteSddl, false},
    };
    struct Level {
        const char16_t* link;       // replaced by the link
        const char16_t* report;     // where a followed link leads the report
        Paths made;                 // and the levels made on the way
    };
    const Level levels[] = {
        {u"C:\\ProgramData", u"C:\\Windows\\Org\\Logs\\status.txt", {u"C:\\Windows\\Org", u"C:\\Windows\\Org\\Logs"}},
        {u"C:\\ProgramData\\Org", u"C:\\Windows\\Logs\\status.txt", {}},
        {u"C:\\ProgramData\\Org\\Logs", u"C:\\Windows\\status.txt", {}},
    };
    for (const Level& level : levels) {
        for (const LinkKind& kind : kinds) {
            for (const Owner& owner : owners) {
                // A relative link one level deeper needs one more "..".
                std::u16string target = kind.target;
                if (target[0] == u'.' && std::u16string(level.link) == u"C:\\ProgramData\\Org\\Logs") {
                    target = u"..\\..\\Windows";
                }
                if (target[0] == u'.' && std::u16string(level.link) == u"C:\\ProgramData") target = u"Windows";
                const std::string name = model::Narrow(level.link) + " " + kind.name + " by " + owner.name;
                ProgramDataFixture f;
                f.os.entries.erase(*f.os.Resolve(level.link));
                std::erase_if(f.os.entries, [&](const auto& entry) {
                    return entry.first.rfind(std::u16string(level.link) + u"\\", 0) == 0;
                });
                f.os.AddLink(level.link, kind.tag, target, true, owner.sid);
                f.os.Find(level.link)->sddl = owner.sddl;
                auto before = f.Snapshot();
                f.Write(kReport);

                const bool followed = owner.trusted && kind.tag != 0xA0000019u;
                auto after = f.Snapshot();
                if (followed) {
                    EXPECT_EQ(f.At(level.report) == nullptr ? "<none>" : f.At(level.report)->content, kText) << name;
                    after.erase(*f.os.Resolve(level.report));
                    before.erase(*f.os.Resolve(level.report));
                    for (const std::u16string& made : level.made) {
                        ASSERT_NE(f.At(made), nullptr) << name << ": " << model::Narrow(made);
                        EXPECT_EQ(f.At(made)->sddl, kReportSddl) << name;
                        after.erase(made);
                    }
                }
                EXPECT_EQ(after, before) << name << (followed ? ": only the report and its levels" : ": refused");
            }
        }
    }
}

// The levels of the current directory are walked like any other: a relative path below a
// junction a user made is refused. Non-link reparse points are walked through.
TEST(PathWalk, JudgesEveryLevelFromTheRoot) {
    struct Case {
        const char* name;
        std::function<void(model::FakeWindows&)> arrange;
        std::u16string path;
        const char16_t* report;   // nullptr: refused, nothing changed
    };
    const Case cases[] = {
        {"current directory below a user's junction",
         [](model::FakeWindows& os) {
             os.AddLink(u"C:\\jwork", platform::kReparseTagMountPoint, u"C:\\Windows", true);
             os.currentDirectory = u"C:\\jwork";
         },
         u"status.txt", nullptr},
        {"current directory below an administrator's junction",
         [](model::FakeWindows& os) {
             os.AddLink(u"C:\\jwork", platform::kReparseTagMountPoint, u"C:\\out", true, model::kAdministratorsSid);
             os.currentDirectory = u"C:\\jwork";
         },
         u"status.txt", u"C:\\out\\status.txt"},
        {"forward slashes through a user's junction", nullptr, u"C:/junction/new/status.txt", nullptr},
        {"mixed separators through a user's junction", nullptr, u"C:\\junction/status.txt", nullptr},
        {"file part through a user's junction", nullptr, u"C:\\x\\..\\junction/status.txt", nullptr},
        {"cloud files folder", nullptr, u"C:\\other\\new\\status.txt", u"C:\\other\\new\\status.txt"},
        {"what Wine shows for a link", nullptr, u"C:\\winelink\\status.txt", u"C:\\winelink\\status.txt"},
        {"administrator's link to a user's junction",
         [](model::FakeWindows& os) {
             os.AddLink(u"C:\\adminhop", platform::kReparseTagSymlink, u"C:\\junction", true, model::kAdministratorsSid);
         },
         u"C:\\adminhop\\status.txt", nullptr},
        {"administrator's link to a missing folder",
         [](model::FakeWindows& os) {
             os.AddLink(u"C:\\hop", platform::kReparseTagSymlink, u"C:\\nowhere", true, model::kAdministratorsSid);
         },
         u"C:\\hop\\status.txt", nullptr},
        {"administrators' links in a loop",
         [](model::FakeWindows& os) {
             os.AddLink(u"C:\\loop1", platform::kReparseTagSymlink, u"C:\\loop2", true, model::kAdministratorsSid);
             os.AddLink(u"C:\\loop2", platform::kReparseTagSymlink, u"C:\\loop1", true, model::kAdministratorsSid);
         },
         u"C:\\loop1\\status.txt", nullptr},
    };
    for (const Case& c : cases) {
        ReportFixture f;
        if (c.arrange) c.arrange(f.os);
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

// At every call of the walk, another user turns C:\ProgramData\Org into a junction to
// C:\Windows\Temp: as an administrator's empty folder there, it lets Users write its attributes,
// and that is all FSCTL_SET_REPARSE_POINT needs (MS-FSA 2.1.5.10.37); holding the folder does not
// stop it. Every open through the held level carries OBJ_DONT_REPARSE, so an open that would go
// through the junction fails: nothing is made or written behind it.
TEST(PathWalk, AHeldLevelMadeAJunctionLeadsNothingAway) {
    const std::size_t calls = CallsOfAPlainRun();
    int madeJunction = 0;
    for (std::size_t at = 0; at < calls; ++at) {
        ProgramDataFixture f;
        WriteWithMoveBefore(f, at, "before call " + std::to_string(at), [&](model::FakeWindows& os) {
            if (os.SetReparseAsUser(u"C:\\ProgramData\\Org", platform::kReparseTagMountPoint, u"C:\\Windows\\Temp")) {
                ++madeJunction;
            }
        });
    }
    EXPECT_GT(madeJunction, 0);
}

// Who may have put an administrators' junction where it stands: a link nobody else may delete,
// rename or move, in folders whose entries nobody else may delete, is followed; one that users
// could have moved there from anywhere, or one on removable media whose owner and list may have
// been set on another machine, is not.
TEST(PathWalk, FollowsAnAdministratorsLinkOnlyWhereNobodyElseCouldHavePutIt) {
    const std::u16string adminsOnly = u"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
    struct Case {
        const char* name;
        std::u16string linkList;      // the junction's own
        std::u16string holderList;    // C:\Data\Drop, which holds it
        std::u16string aboveList;     // C:\Data, above that
        std::u16string_view holderOwner;
        bool removable;
        bool followed;
    };
    const Case cases[] = {
        {"nobody else may move it", adminsOnly, adminsOnly, adminsOnly, model::kAdministratorsSid, false, true},
        {"users may delete the link", u"D:P(A;;FA;;;BA)(A;;SD;;;BU)", adminsOnly, adminsOnly,
         model::kAdministratorsSid, false, false},
        {"users may delete what its folder holds", adminsOnly, u"D:P(A;;FA;;;BA)(A;;0x1200e9;;;BU)", adminsOnly,
         model::kAdministratorsSid, false, false},
        {"users may move the folder above", adminsOnly, adminsOnly, u"D:P(A;;FA;;;BA)(A;;0x1301bf;;;AU)",
         model::kAdministratorsSid, false, false},
        {"a user owns its folder", adminsOnly, adminsOnly, adminsOnly, model::kUserSid, false, false},
        {"on removable media", adminsOnly, adminsOnly, adminsOnly, model::kAdministratorsSid, true, false},
    };
    for (const Case& c : cases) {
        ProgramDataFixture f;
        const std::u16string drive = c.removable ? u"E:" : u"C:";
        if (c.removable) {
            f.os.volumes[u"E:"] = {platform::kDeviceDisk, platform::kVolumeRemovableMedia};
            f.os.AddDirectory(u"E:\\");
        }
        f.os.AddDirectory(drive + u"\\Data");
        f.os.Find(drive + u"\\Data")->sddl = c.aboveList;
        f.os.AddDirectory(drive + u"\\Data\\Drop");
        f.os.Find(drive + u"\\Data\\Drop")->sddl = c.holderList;
        f.os.Find(drive + u"\\Data\\Drop")->owner = c.holderOwner;
        f.os.AddLink(drive + u"\\Data\\Drop\\Logs", platform::kReparseTagMountPoint, u"C:\\Windows\\Logs", true,
                     model::kAdministratorsSid);
        f.os.Find(drive + u"\\Data\\Drop\\Logs")->sddl = c.linkList;
        auto before = f.Snapshot();
        f.Write(drive + u"\\Data\\Drop\\Logs\\status.txt");
        auto after = f.Snapshot();
        if (c.followed) {
            EXPECT_EQ(f.At(u"C:\\Windows\\Logs\\status.txt")->content, kText) << c.name;
            after.erase(u"C:\\Windows\\Logs\\status.txt");
            before.erase(u"C:\\Windows\\Logs\\status.txt");
        }
        EXPECT_EQ(after, before) << c.name;
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
        if (operation == "CreateChildFile" && path == u"C:\\data\\new\\status.txt") {
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
