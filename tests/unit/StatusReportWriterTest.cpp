#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "report/StatusReportWriter.h"
#include "tests/unit/ReportFixture.h"
#include "tests/unit/TraceExpectations.h"

namespace report {
namespace {

using Calls = std::vector<std::string>;
const std::string kText = "Version=10.0.1.3\n";

// Every call of the writer leaves no handle open and no descriptor alive, whichever way out
// it took.
struct WriterFixture : ReportFixture {
    void Write(const std::u16string& path, std::string_view text = kText) {
        WriteStatusReport(os, path, text);
        EXPECT_EQ(os.OpenHandleCount(), 0u) << model::Narrow(path);
        EXPECT_EQ(os.LiveDescriptorCount(), 0u) << model::Narrow(path);
    }
    std::string Content(const std::u16string& path) {
        const model::Entry* entry = At(path);
        return entry == nullptr ? "<missing>" : entry->content;
    }
    bool Wrote() const {
        return std::any_of(os.calls.begin(), os.calls.end(),
                           [](const std::string& call) { return call.rfind("WriteBytes", 0) == 0; });
    }
};

TEST(IsSafeReportFile, OnlyAPlainFileWithOneName) {
    struct Case {
        platform::HandleInfo info;
        bool safe = false;
    };
    const Case cases[] = {
        {{0x20, 0, 1}, true},  {{0x80, 0, 1}, true},  {{0x21, 0, 1}, true},
        {{0x420, platform::kReparseTagSymlink, 1}, false},   // a link opened as itself
        {{0x420, kOtherTag, 1}, false},                      // any other reparse point too
        {{0x10, 0, 1}, false}, {{0x410, 0, 1}, false},
        {{0x20, 0, 2}, false},    // another name of the same file may sit anywhere
        {{0x20, 0, 0}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsSafeReportFile(c.info), c.safe) << c.info.attributes << " links " << c.info.links;
    }
}

TEST(WriteStatusReport, NewReportIsCreatedProtectedAndHoldsExactlyTheText) {
    struct Case {
        const char16_t* path;
        const char16_t* file;
        std::vector<std::u16string> madeDirectories;
    };
    const Case cases[] = {
        {u"status.txt", u"C:\\work\\status.txt", {}},
        {u"C:\\out\\status.txt", u"C:\\out\\status.txt", {}},
        {u"C:/out/status.txt", u"C:\\out\\status.txt", {}},
        {u"out/status.txt", u"C:\\work\\out\\status.txt", {u"C:\\work\\out"}},
        {u"C:\\reports\\new\\status.txt", u"C:\\reports\\new\\status.txt", {u"C:\\reports", u"C:\\reports\\new"}},
        // The current directory of the drive; a file in the drive's root.
        {u"C:status.txt", u"C:\\work\\status.txt", {}},
        {u"C:\\status.txt", u"C:\\status.txt", {}},
        {u"\\out/status.txt", u"C:\\out\\status.txt", {}},
        // Links an administrator made are followed; what is made behind them lands at the target.
        {u"C:\\adminlink\\status.txt", u"C:\\out\\status.txt", {}},
        {u"C:\\adminjunction\\new\\status.txt", u"C:\\out\\new\\status.txt", {u"C:\\out\\new"}},
        // A folder part with a trailing separator is the folder itself.
        {u"C:\\other\\\\status.txt", u"C:\\other\\status.txt", {}},
    };
    for (const Case& c : cases) {
        WriterFixture f;
        f.Write(c.path);
        EXPECT_EQ(f.Content(c.file), kText) << model::Narrow(c.path);
        ASSERT_NE(f.At(c.file), nullptr);
        EXPECT_EQ(f.At(c.file)->sddl, kReportSddl) << model::Narrow(c.path);
        EXPECT_EQ(f.os.madeDirectories.size(), c.madeDirectories.size()) << model::Narrow(c.path);
        for (const std::u16string& made : c.madeDirectories) {
            ASSERT_NE(f.At(made), nullptr) << model::Narrow(made);
            EXPECT_EQ(f.At(made)->sddl, kReportSddl) << model::Narrow(made);
        }
    }
}

// A forward slash reads as a backslash wherever it stands, between the folder and the file too:
// each of these paths leaves the drive exactly as its backslash form does, refused or written.
TEST(WriteStatusReport, AForwardSlashActsAsABackslash) {
    const char16_t* const paths[] = {
        u"C:\\v/.",                 // once: C:\v made as a file holding the report
        u"C:\\Org\\x/r.txt/..",     // once: the file C:\Org\x holding the report
        u"C:\\Org/x/..",
        u"\\Org/status.txt",        // once: refused, while its backslash form was written
        u"/Org/new/status.txt",
        u"\\\\server\\share/v",     // a share either way
    };
    for (const char16_t* path : paths) {
        std::u16string backslashed = path;
        std::replace(backslashed.begin(), backslashed.end(), u'/', u'\\');
        // What a run on that path leaves: every entry, and whether a byte was written.
        const auto run = [](const std::u16string& given) {
            WriterFixture f;
            f.os.AddDirectory(u"C:\\Org");
            f.os.AddDirectory(u"\\\\server\\share");
            f.Write(given);
            return std::pair(f.Snapshot(), f.Wrote());
        };
        EXPECT_EQ(run(path), run(backslashed)) << model::Narrow(path);
    }
}

// Under a folder that lets every user create entries, what the writer creates holds exactly
// its own four entries: nothing the folder passes on, so no user may add anything inside.
TEST(WriteStatusReport, CreatedEntriesUnderAUserWritableFolderGetOnlyTheirOwnList) {
    WriterFixture f;
    f.os.AddDirectory(u"C:\\ProgramData");
    f.os.Find(u"C:\\ProgramData")->sddl = kProgramDataSddl;
    f.Write(u"C:\\ProgramData\\new\\sub\\status.txt");
    EXPECT_EQ(f.Content(u"C:\\ProgramData\\new\\sub\\status.txt"), kText);
    for (const char16_t* created :
         {u"C:\\ProgramData\\new", u"C:\\ProgramData\\new\\sub", u"C:\\ProgramData\\new\\sub\\status.txt"}) {
        ASSERT_NE(f.At(created), nullptr) << model::Narrow(created);
        const std::optional<model::Dacl> list = model::ParseDacl(f.At(created)->sddl);
        ASSERT_TRUE(list) << model::Narrow(created);
        EXPECT_TRUE(list->isProtected) << model::Narrow(created);
        EXPECT_EQ(list, model::ParseDacl(u"D:P(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGX;;;AU)(A;OICI;GA;;;BA)"))
            << model::Narrow(created) << ": " << model::Narrow(f.At(created)->sddl);
    }
}

// From the root down, each level opened through the one above and held to the end; the missing
// one made through its parent, the report made through the last and written through the handle
// that made it; everything closed the deepest first.
TEST(WriteStatusReport, WalksFromTheRootThroughHeldHandles) {
    WriterFixture f;
    f.Write(u"C:\\out\\new\\status.txt");
    EXPECT_EQ(f.os.calls, (Calls{
                              "OpenRoot \\??\\C:\\",
                              "QueryVolume C:\\",
                              "OpenChild C:\\out",
                              "QueryHandle C:\\out",
                              "OpenChild C:\\out\\new",
                              "CreateChildDirectory C:\\out\\new",
                              "OpenChildFile C:\\out\\new\\status.txt",
                              "CreateChildFile C:\\out\\new\\status.txt",
                              "QueryHandle C:\\out\\new\\status.txt",
                              "WriteBytes C:\\out\\new\\status.txt",
                              "EndFileHere C:\\out\\new\\status.txt",
                              "CloseFile C:\\out\\new\\status.txt",
                              "CloseFile C:\\out\\new",
                              "CloseFile C:\\out",
                              "CloseFile C:\\",
                          }));
}

// An existing report keeps its own access list; whatever the write did, nothing of the
// earlier, longer contents follows it.
TEST(WriteStatusReport, ExistingReportIsReplacedExactly) {
    struct Case {
        const char* name;
        std::string text;
        bool writeFails;
        std::string content;
    };
    const Case cases[] = {
        {"shorter text", kText, false, kText},
        {"empty text", "", false, ""},
        {"text with a NUL ends there", std::string("Not installed\n\0tail", 19), false, "Not installed\n"},
        {"failed write", kText, true, ""},
    };
    for (const Case& c : cases) {
        WriterFixture f;
        if (c.writeFails) f.os.faults.emplace_back("WriteBytes");
        f.Write(u"C:\\out\\existing.txt", c.text);
        EXPECT_EQ(f.Content(u"C:\\out\\existing.txt"), c.content) << c.name;
        EXPECT_EQ(f.At(u"C:\\out\\existing.txt")->sddl, kOwnSddl) << c.name;
        EXPECT_NE(std::find(f.os.calls.begin(), f.os.calls.end(), "EndFileHere C:\\out\\existing.txt"),
                  f.os.calls.end())
            << c.name;
    }
}

// Whatever stands at the path and is not a plain file is left exactly as it was, and so is
// whatever it leads to; a path that names no file, or names a device, makes nothing at all.
TEST(WriteStatusReport, RefusedPathsWriteNothing) {
    struct Case {
        const char* name;
        std::u16string path;
        std::function<void(WriterFixture&)> arrange;
    };
    const auto shareThere = [](WriterFixture& f) { f.os.AddDirectory(u"\\\\server\\share"); };
    const Case cases[] = {
        {"empty path", u"", nullptr},
        {"directory", u"C:\\out", nullptr},
        {"directory with further bits", u"C:\\arch", nullptr},
        {"symlink to a file", u"C:\\out\\filelink", nullptr},
        {"dangling symlink", u"C:\\out\\dangling", nullptr},
        {"directory symlink", u"C:\\dirlink", nullptr},
        {"administrator's directory symlink", u"C:\\adminlink", nullptr},
        {"mount point", u"C:\\junction", nullptr},
        {"other reparse point", u"C:\\out\\otherfile", nullptr},
        {"mount point as the folder", u"C:\\junction\\status.txt", nullptr},
        {"mount point as the folder, file there", u"C:\\junction\\existing.txt", nullptr},
        {"user's directory symlink as the folder", u"C:\\dirlink\\status.txt", nullptr},
        {"link further up a missing chain", u"C:\\junction\\new\\status.txt", nullptr},
        {"slashes after the last backslash", u"C:\\out\\reports/new/status.txt", nullptr},
        {"file cannot be created", u"C:\\out\\status.txt",
         [](WriterFixture& f) { f.os.failCreate.insert(u"C:\\out\\status.txt"); }},
        {"directory cannot be created", u"C:\\out\\new\\status.txt",
         [](WriterFixture& f) { f.os.failCreate.insert(u"C:\\out\\new"); }},
        {"plain file on the way", u"C:\\out\\existing.txt\\status.txt", nullptr},
        // Nothing is made for a path that names no file, not even its missing folders.
        {"trailing separator", u"C:\\new\\sub\\", nullptr},
        {"ends in ..", u"C:\\new\\sub\\..", nullptr},
        {"empty directory part", u"\\status.txt", nullptr},
        {"device name", u"C:\\new\\nul", nullptr},
        {"device name with an extension, below a missing folder", u"C:\\new\\COM1.txt", nullptr},
        {"device name as a folder", u"C:\\con\\status.txt", nullptr},
        {"stream as a folder", u"C:\\out:x\\status.txt", nullptr},
        {"longer than MAX_PATH", u"C:\\new\\" + std::u16string(260, u'a') + u".txt", nullptr},
        {"pipe", u"\\\\.\\pipe\\status", nullptr},
        {"verbatim path with a dot", u"\\\\?\\C:\\out\\.\\status.txt", nullptr},
        // A colon anywhere names a stream: refused before anything is made.
        {"stream as the report", u"C:\\new\\status.txt:s", nullptr},
        {"stream on a folder", u"C:\\out\\:x", nullptr},
        {"empty directory part after a slash", u"/status.txt", nullptr},
        // A share is resolved by its server at every open: refused before anything reaches it.
        {"share", u"\\\\server\\share\\new\\status.txt", shareThere},
        {"share through a device path", u"\\\\?\\UNC\\server\\share\\status.txt", shareThere},
        {"current directory on a share", u"new\\status.txt",
         [](WriterFixture& f) {
             f.os.AddDirectory(u"\\\\server\\share");
             f.os.currentDirectory = u"\\\\server\\share";
         }},
        {"drive letter mapped to a share", u"Z:\\new\\status.txt",
         [](WriterFixture& f) {
             f.os.volumes[u"Z:"] = {platform::kDeviceNetworkFileSystem, platform::kVolumeRemoteDevice};
             f.os.AddDirectory(u"Z:\\");
         }},
        {"administrators' link to a share", u"C:\\toshare\\status.txt",
         [](WriterFixture& f) {
             f.os.AddDirectory(u"\\\\server\\share");
             f.os.AddLink(u"C:\\toshare", platform::kReparseTagSymlink, u"\\\\server\\share", true,
                          model::kAdministratorsSid);
         }},
    };
    for (const Case& c : cases) {
        WriterFixture f;
        if (c.arrange) c.arrange(f);
        const auto before = f.Snapshot();
        f.Write(c.path);
        EXPECT_EQ(f.Snapshot(), before) << c.name;
        EXPECT_FALSE(f.Wrote()) << c.name;
        EXPECT_EQ(std::count_if(f.os.calls.begin(), f.os.calls.end(),
                                [](const std::string& call) { return call.find("\\\\server") != std::string::npos; }),
                  0)
            << c.name << ": nothing is asked of a share's server";
    }
}

// The trace names the level where the walk stopped and why, who made a link untrustworthy, and
// whether the report was written: what an administrator needs to fix the path.
TEST(WriteStatusReport, TraceNamesTheRefusedLevelAndTheReason) {
    struct Case {
        const char* name;
        std::u16string path;
        std::function<void(WriterFixture&)> arrange;
        std::string level;    // empty: the report was written
        std::string reason;   // words the reason holds
        std::string link;
        std::string who;
    };
    const std::string user = model::Narrow(std::u16string(model::kUserSid));
    const Case cases[] = {
        {"written", u"C:\\out\\new\\status.txt", nullptr, "", "", "", ""},
        {"junction a user made", u"C:\\junction\\new\\status.txt", nullptr, "C:\\junction", "owner", "junction", user},
        {"symbolic link a user made", u"C:\\dirlink\\status.txt", nullptr, "C:\\dirlink", "owner", "symbolic link", user},
        {"administrator's junction users may change", u"C:\\adminjunction\\status.txt",
         [](WriterFixture& f) { f.os.Find(u"C:\\adminjunction")->sddl = std::u16string(model::kUsersMayWriteSddl); },
         "C:\\adminjunction", "someone else may change", "junction", "S-1-5-32-545"},
        {"file on the way", u"C:\\out\\existing.txt\\status.txt", nullptr, "C:\\out\\existing.txt", "no directory", "",
         ""},
        {"folder cannot be made", u"C:\\out\\new\\status.txt",
         [](WriterFixture& f) { f.os.failCreate.insert(u"C:\\out\\new"); }, "C:\\out\\new", "nor made", "", ""},
        {"report is a link", u"C:\\out\\filelink", nullptr, "C:\\out\\filelink", "link", "", ""},
        {"report has a second name", u"C:\\out\\existing.txt",
         [](WriterFixture& f) { f.os.Find(u"C:\\out\\existing.txt")->links = 2; }, "C:\\out\\existing.txt",
         "hard link", "", ""},
        {"device name", u"C:\\out\\nul", nullptr, "C:\\out\\nul", "device", "", ""},
        {"share", u"\\\\server\\share\\status.txt", nullptr, "\\\\server\\share\\", "share", "", ""},
        {"administrator's junction users may delete", u"C:\\adminjunction\\status.txt",
         [](WriterFixture& f) { f.os.Find(u"C:\\adminjunction")->sddl = u"D:(A;;FA;;;BA)(A;;SD;;;BU)"; },
         "C:\\adminjunction", "delete or rename", "junction", "S-1-5-32-545"},
        {"administrator's junction in a folder users may empty", u"C:\\open\\adminjunction\\status.txt",
         [](WriterFixture& f) {
             f.os.AddDirectory(u"C:\\open");
             f.os.Find(u"C:\\open")->sddl = u"D:(A;;FA;;;BA)(A;;0x1200e9;;;BU)";
             f.os.AddLink(u"C:\\open\\adminjunction", platform::kReparseTagMountPoint, u"C:\\out", true,
                          model::kAdministratorsSid);
         },
         "C:\\open\\adminjunction", "moved here", "junction", "S-1-5-32-545"},
        {"administrator's junction on removable media", u"E:\\adminjunction\\status.txt",
         [](WriterFixture& f) {
             f.os.volumes[u"E:"] = {platform::kDeviceDisk, platform::kVolumeRemovableMedia};
             f.os.AddDirectory(u"E:\\");
             f.os.AddLink(u"E:\\adminjunction", platform::kReparseTagMountPoint, u"C:\\out", true,
                          model::kAdministratorsSid);
         },
         "E:\\adminjunction", "removable media", "junction", ""},
        {"a level made a junction once checked", u"C:\\empty\\new\\status.txt",
         [](WriterFixture& f) {
             f.os.AddDirectory(u"C:\\empty");
             f.os.beforeCall = [](model::FakeWindows& os, const std::string& operation, const std::u16string& path) {
                 if (operation == "OpenChild" && path == u"C:\\empty\\new") {
                     EXPECT_TRUE(os.SetReparseAsUser(u"C:\\empty", platform::kReparseTagMountPoint, u"C:\\Windows"));
                 }
             };
         },
         "C:\\empty\\new", "became a link", "", ""},
        {"the system refuses OBJ_DONT_REPARSE", u"C:\\out\\status.txt",
         [](WriterFixture& f) {
             f.os.faults.push_back(model::Fault("OpenChild").WithError(platform::kErrorInvalidParameter));
         },
         "C:\\out", "1803", "", ""},
    };
    for (const Case& c : cases) {
        WriterFixture f;
        if (c.arrange) c.arrange(f);
        f.Write(c.path);
        const std::optional<model::RecordedEvent> refused = model::FirstEvent(f.os, "ReportPathRefused");
        // One level per name: a report not written has its own.
        const bool written = c.level.empty();
        const std::optional<model::RecordedEvent> report =
            model::FirstEvent(f.os, written ? "StatusReport" : "StatusReportNotWritten");
        ASSERT_TRUE(report) << c.name << "\n" << f.os.EventLog();
        EXPECT_EQ(report->level, written ? platform::TraceLevel::Information : platform::TraceLevel::Error) << c.name;
        EXPECT_EQ(report->Field("Path"), model::Narrow(c.path)) << c.name;
        if (c.level.empty()) {
            EXPECT_FALSE(refused) << c.name << "\n" << f.os.EventLog();
            EXPECT_EQ(report->Field("Outcome"), "written") << c.name;
            EXPECT_EQ(report->Field("Bytes"), std::to_string(kText.size())) << c.name;
            continue;
        }
        ASSERT_TRUE(refused) << c.name << "\n" << f.os.EventLog();
        EXPECT_EQ(refused->level, platform::TraceLevel::Error) << c.name;
        EXPECT_EQ(refused->Field("Level"), c.level) << c.name;
        EXPECT_NE(refused->Field("Reason").value_or("").find(c.reason), std::string::npos) << c.name << ": "
                                                                                           << refused->Text();
        EXPECT_EQ(refused->Field("Link"), c.link) << c.name;
        EXPECT_EQ(refused->Field("Who"), c.who) << c.name;
        EXPECT_EQ(report->Field("Outcome"), "not written") << c.name;
    }
}

TEST(WriteStatusReport, NothingIsOpenedOrTouchedWithoutTheDescriptor) {
    WriterFixture f;
    f.os.faults.emplace_back("BuildDescriptor");
    f.Write(u"C:\\out\\status.txt");
    EXPECT_TRUE(f.os.calls.empty());
}

// The report is written through the handle that made it, so a caller who is not an
// administrator writes the file it made, whatever the report's list grants it; an existing
// report it may not write stays as it was.
TEST(WriteStatusReport, CallerWhoIsNoAdministratorWritesOnlyTheFileItMade) {
    WriterFixture f;
    f.os.callerIsAdministrator = false;
    f.Write(u"C:\\out\\status.txt");
    EXPECT_EQ(f.Content(u"C:\\out\\status.txt"), kText);
    f.Write(u"C:\\out\\existing.txt");
    EXPECT_EQ(f.Content(u"C:\\out\\existing.txt"), kOldReport);
}

// Made and written through one handle: another user who may rename entries in the folder finds
// the new report held, and even a file of theirs put at the name in between would not be written.
TEST(WriteStatusReport, NewReportIsWrittenThroughTheHandleThatMadeIt) {
    WriterFixture f;
    f.os.AddDirectory(u"C:\\shared");
    bool tried = false;
    f.os.beforeCall = [&](model::FakeWindows& os, const std::string& operation, const std::u16string&) {
        if (operation != "QueryHandle" || tried || !os.Exists(u"C:\\shared\\status.txt")) return;
        tried = true;
        model::Entry theirs;
        theirs.content = "theirs";
        theirs.owner = model::kUserSid;
        EXPECT_FALSE(os.ReplaceAsUser(u"C:\\shared\\status.txt", theirs));
        EXPECT_EQ(os.lastError, model::kErrorSharingViolation);
    };
    f.Write(u"C:\\shared\\status.txt");
    EXPECT_TRUE(tried);
    EXPECT_EQ(f.Content(u"C:\\shared\\status.txt"), kText);
    EXPECT_EQ(std::count(f.os.calls.begin(), f.os.calls.end(), "OpenChildFile C:\\shared\\status.txt"), 1);
}

// Between the walk and the open another user replaces the entry at the report's name (the
// folder is held, what is inside it is not). The open takes the entry itself, and the handle
// shows what it is before a byte is written.
TEST(WriteStatusReport, EntrySwappedAtTheReportNameIsNotWrittenThrough) {
    struct Case {
        const char* name;
        const char16_t* path;
        std::function<model::Entry(model::FakeWindows&)> swapIn;
    };
    const auto link = [](std::uint32_t tag, const char16_t* target, bool directory) {
        return [=](model::FakeWindows&) {
            model::Entry entry;
            entry.attributes = directory ? platform::kAttributeDirectory : model::kAttributeArchive;
            entry.reparseTag = tag;
            entry.target = target;
            return entry;
        };
    };
    const Case cases[] = {
        {"existing file becomes a symlink", u"C:\\out\\existing.txt",
         link(platform::kReparseTagSymlink, u"C:\\Windows\\protected.dat", false)},
        {"new file becomes a symlink", u"C:\\out\\status.txt",
         link(platform::kReparseTagSymlink, u"C:\\Windows\\protected.dat", false)},
        {"new file becomes a mount point", u"C:\\out\\status.txt",
         link(platform::kReparseTagMountPoint, u"C:\\Windows", true)},
        {"new file becomes a second hard link", u"C:\\out\\status.txt",
         [](model::FakeWindows& os) {
             model::Entry* protectedFile = os.Find(u"C:\\Windows\\protected.dat");
             protectedFile->links = 2;
             return *protectedFile;
         }},
    };
    for (const Case& c : cases) {
        WriterFixture f;
        bool swapped = false;
        f.os.beforeCall = [&](model::FakeWindows& os, const std::string& operation, const std::u16string& path) {
            if (operation == "OpenChildFile" && !swapped) swapped = os.ReplaceAsUser(path, c.swapIn(os));
        };
        f.Write(c.path);
        EXPECT_TRUE(swapped) << c.name;
        EXPECT_EQ(f.Content(u"C:\\Windows\\protected.dat"), "protected") << c.name;
        EXPECT_FALSE(f.Wrote()) << c.name;
    }
}

// One platform failure (or two, where the second is the undoing) per row. The report holds
// the whole text or, where the failure came before it, what stood there; nothing else is
// changed but the directories listed, and nothing is left open.
TEST(WriteStatusReport, EachPlatformFailureLeavesTheDocumentedFile) {
    using model::Fault;
    struct Case {
        const char* name;
        std::u16string path;
        std::vector<Fault> faults;
        std::u16string file;                  // where the report would go
        std::optional<std::string> content;   // what stands there afterwards
        std::vector<std::u16string> made;     // directories made that stay
    };
    const std::u16string existing = u"C:\\out\\existing.txt";
    const std::u16string fresh = u"C:\\out\\status.txt";
    const std::u16string deep = u"C:\\out\\new\\sub\\status.txt";
    const Case cases[] = {
        {"descriptor cannot be built", fresh, {Fault("BuildDescriptor")}, fresh, std::nullopt, {}},
        {"current directory unreadable", u"status.txt", {Fault("CurrentDirectory")}, u"C:\\work\\status.txt",
         std::nullopt, {}},
        {"drive directory unreadable", u"C:out\\status.txt", {Fault("DriveDirectory")},
         u"C:\\work\\out\\status.txt", std::nullopt, {}},
        {"root cannot be opened", fresh, {Fault("OpenRoot")}, fresh, std::nullopt, {}},
        {"existing level cannot be opened", fresh, {Fault("OpenChild").At(u"C:\\out")}, fresh, std::nullopt, {}},
        {"level cannot be queried", fresh, {Fault("QueryHandle").At(u"C:\\out")}, fresh, std::nullopt, {}},
        {"directory cannot be created: the one made before is removed", deep,
         {Fault("CreateChildDirectory").At(u"C:\\out\\new\\sub")}, deep, std::nullopt, {}},
        {"removal refused too: the directory stays", deep,
         {Fault("CreateChildDirectory").At(u"C:\\out\\new\\sub"), Fault("MarkForDeletion")}, deep,
         std::nullopt, {u"C:\\out\\new"}},
        {"owner of an administrator's link unreadable", u"C:\\adminlink\\status.txt", {Fault("ReadSecurity")}, fresh,
         std::nullopt, {}},
        {"target of an administrator's link unreadable", u"C:\\adminlink\\status.txt", {Fault("ReadReparseData")},
         fresh, std::nullopt, {}},
        {"volume cannot be queried", fresh, {Fault("QueryVolume")}, fresh, std::nullopt, {}},
        {"file cannot be created", fresh, {Fault("CreateChildFile")}, fresh, std::nullopt, {}},
        // What the walk made for a report that is not written goes again.
        {"file cannot be created: the levels made for it are removed", deep, {Fault("CreateChildFile")}, deep,
         std::nullopt, {}},
        {"open refused: the existing report stays", existing, {Fault("OpenChildFile")}, existing, kOldReport, {}},
        {"handle query fails: the file made and its levels are removed", deep, {Fault("QueryHandle").At(deep)}, deep,
         std::nullopt, {}},
        {"handle query fails, its removal too: the file and its levels stay", deep,
         {Fault("QueryHandle").At(deep), Fault("MarkForDeletion").At(deep)}, deep, "",
         {u"C:\\out\\new", u"C:\\out\\new\\sub"}},
        {"write fails at once", existing, {Fault("WriteBytes").WithError(model::kErrorDiskFull)}, existing, "", {}},
        // Left as it stood, "Version=10.0" would read as a report of another version.
        {"write fails part-way", existing, {Fault("WriteBytes").AfterBytes(12).WithError(model::kErrorDiskFull)},
         existing, "", {}},
        // Only when the file cannot be rewound either does the cut text stay.
        {"write fails part-way, rewind refused", existing,
         {Fault("WriteBytes").AfterBytes(12).WithError(model::kErrorDiskFull), Fault("RewindFile")}, existing,
         kText.substr(0, 12), {}},
        // The text stands whole on its first line; the end of the earlier report follows it.
        {"end of file refused", existing, {Fault("EndFileHere")}, existing, kText + kOldReport.substr(kText.size()),
         {}},
    };
    for (const Case& c : cases) {
        WriterFixture f;
        f.os.faults = c.faults;
        auto before = f.Snapshot();
        f.Write(c.path);
        EXPECT_GE(f.os.injected.size(), c.faults.size()) << c.name;
        for (const Fault& fault : c.faults) EXPECT_TRUE(model::ReportsFailure(f.os, fault)) << c.name;
        const model::Entry* report = f.At(c.file);
        EXPECT_EQ(report == nullptr ? std::nullopt : std::optional<std::string>(report->content), c.content) << c.name;
        auto after = f.Snapshot();
        for (const std::u16string& made : c.made) {
            ASSERT_NE(f.At(made), nullptr) << c.name << ": " << model::Narrow(made);
            after.erase(*f.os.Resolve(made));
        }
        after.erase(*f.os.Resolve(c.file));
        before.erase(*f.os.Resolve(c.file));
        EXPECT_EQ(after, before) << c.name << ": only the report and the listed directories may change";
    }
}

}  // namespace
}  // namespace report
