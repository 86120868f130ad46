#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "report/PathWalk.h"
#include "report/ReportReplace.h"
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

TEST(ExistingReportRefusal, OnlyAPlainFileWhateverItsOtherNames) {
    struct Case {
        platform::HandleInfo info;
        bool replaced = false;
    };
    const Case cases[] = {
        {{0x20, 0, 1}, true},  {{0x80, 0, 1}, true},  {{0x21, 0, 1}, true},
        {{0x20, 0, 2}, true},    // only this name goes; the other keeps its bytes
        {{0x420, platform::kReparseTagSymlink, 1}, false},   // a link opened as itself
        {{0x420, kOtherTag, 1}, false},                      // any other reparse point too
        {{0x10, 0, 1}, false}, {{0x410, 0, 1}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExistingReportRefusal(c.info).empty(), c.replaced) << c.info.attributes << " links " << c.info.links;
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

// The drive's link read before anything is opened; from the root down, each level opened through
// the one above and held to the end; the missing one made through its parent; the new report made
// under a temporary name in the last level, written, flushed and renamed over the report's name
// through the handle that made it; everything closed the deepest first.
TEST(WriteStatusReport, WalksFromTheRootThroughHeldHandles) {
    WriterFixture f;
    f.Write(u"C:\\out\\new\\status.txt");
    EXPECT_EQ(f.os.calls, (Calls{
                              "DeviceLink C:",
                              "OpenRoot \\??\\C:\\",
                              "QueryVolume C:\\",
                              "QueryName C:\\",
                              "OpenChild C:\\out",
                              "QueryHandle C:\\out",
                              "OpenChild C:\\out\\new",
                              "CreateChildDirectory C:\\out\\new",
                              "OpenChild C:\\out\\new\\status.txt",
                              "CreateChildFile C:\\out\\new\\~ppkg-launcher-1.tmp",
                              "QueryHandle C:\\out\\new",
                              "WriteBytes C:\\out\\new\\~ppkg-launcher-1.tmp",
                              "FlushFile C:\\out\\new\\~ppkg-launcher-1.tmp",
                              "RenameInto C:\\out\\new\\status.txt",
                              "CloseFile C:\\out\\new\\status.txt",
                              "CloseFile C:\\out\\new",
                              "CloseFile C:\\out",
                              "CloseFile C:\\",
                          }));
    EXPECT_EQ(f.Content(u"C:\\out\\new\\status.txt"), kText);
}

// An existing report is replaced, never written into: the new file takes its name and its access
// list, the earlier file keeps its bytes under any other name it has, and whatever the text, the
// report holds exactly it. A copy of the writer that wrote into the existing report would change
// the bytes of C:\Windows\second.dat, its other name, and keep the report's identity.
TEST(WriteStatusReport, AnExistingReportIsReplacedNeverWrittenInto) {
    struct Case {
        const char* name;
        std::string text;
        std::string content;
    };
    const Case cases[] = {
        {"shorter text", kText, kText},
        {"empty text", "", ""},
        {"text with a NUL ends there", std::string("Not installed\n\0tail", 19), "Not installed\n"},
    };
    for (const Case& c : cases) {
        WriterFixture f;
        f.os.AddHardLink(u"C:\\out\\existing.txt", u"C:\\Windows\\second.dat");
        const std::uint64_t earlier = f.At(u"C:\\out\\existing.txt")->id;
        f.Write(u"C:\\out\\existing.txt", c.text);
        const model::Entry* report = f.At(u"C:\\out\\existing.txt");
        ASSERT_NE(report, nullptr) << c.name;
        EXPECT_EQ(report->content, c.content) << c.name;
        EXPECT_NE(report->id, earlier) << c.name << ": the report is a new file";
        EXPECT_EQ(report->links, 1u) << c.name;
        EXPECT_EQ(report->sddl, kOwnSddl) << c.name << ": it keeps the earlier report's list";
        EXPECT_EQ(f.Content(u"C:\\Windows\\second.dat"), kOldReport) << c.name;
        EXPECT_EQ(f.At(u"C:\\Windows\\second.dat")->links, 1u) << c.name;
        EXPECT_FALSE(f.os.Exists(u"C:\\out\\~ppkg-launcher-1.tmp")) << c.name;
    }
}

// Each way the replacement can go: put in place, or refused with the earlier report exactly as it
// was, its other names untouched and no new file left behind. What stands at the name when the
// walk looks is judged; what is swapped in afterwards loses its name to the rename at most.
TEST(WriteStatusReport, TheReportIsReplacedOrLeftAsItWas) {
    using model::Fault;
    struct Case {
        const char* name;
        std::function<void(WriterFixture&)> arrange;
        bool replaced;
    };
    const auto swapBeforeRename = [](const std::function<model::Entry(model::FakeWindows&)>& entry) {
        return [entry](WriterFixture& f) {
            f.os.beforeCall = [entry, done = false](model::FakeWindows& os, const std::string& operation,
                                                    const std::u16string& path) mutable {
                if (operation != "RenameInto" || done) return;
                done = true;
                os.entries.erase(path);
                EXPECT_TRUE(os.ReplaceAsUser(path, entry(os)));
            };
        };
    };
    const Case cases[] = {
        {"hard-linked", [](WriterFixture& f) { f.os.AddHardLink(u"C:\\out\\existing.txt", u"C:\\Windows\\second.dat"); },
         true},
        {"linked: a symbolic link at the name is refused",
         [](WriterFixture& f) {
             f.os.entries.erase(u"C:\\out\\existing.txt");
             f.os.AddLink(u"C:\\out\\existing.txt", platform::kReparseTagSymlink, u"C:\\Windows\\protected.dat", false);
         },
         false},
        {"linked after the look: the link loses its name, its target stays",
         swapBeforeRename([](model::FakeWindows&) {
             model::Entry link;
             link.reparseTag = platform::kReparseTagSymlink;
             link.target = u"C:\\Windows\\protected.dat";
             return link;
         }),
         true},
        {"directory", [](WriterFixture& f) {
             f.os.entries.erase(u"C:\\out\\existing.txt");
             f.os.AddDirectory(u"C:\\out\\existing.txt");
         }, false},
        {"directory after the look",
         swapBeforeRename([](model::FakeWindows&) {
             model::Entry directory;
             directory.attributes = platform::kAttributeDirectory;
             return directory;
         }),
         false},
        {"held open by another program",
         [](WriterFixture& f) {
             f.os.beforeCall = [held = platform::kNoFile](model::FakeWindows& os, const std::string& operation,
                                                          const std::u16string&) mutable {
                 if (operation != "RenameInto" || held != platform::kNoFile) return;
                 const platform::FileHandle out = os.OpenRoot(u"\\??\\C:\\", kRootOpen);
                 const platform::FileHandle folder = os.OpenChild(out, u"out", kLevelOpen);
                 held = os.OpenChild(folder, u"existing.txt", kReportLook);
                 os.CloseFile(folder);
                 os.CloseFile(out);
             };
         },
         false},
        {"read-only", [](WriterFixture& f) { f.os.Find(u"C:\\out\\existing.txt")->attributes |= 0x1u; }, false},
        {"failed write", [](WriterFixture& f) { f.os.faults.push_back(Fault("WriteBytes").AfterBytes(5)); }, false},
        {"failed flush", [](WriterFixture& f) { f.os.faults.emplace_back("FlushFile"); }, false},
        {"failed rename", [](WriterFixture& f) { f.os.faults.emplace_back("RenameInto"); }, false},
        {"the first temporary name taken",
         [](WriterFixture& f) { f.os.AddFile(u"C:\\out\\~ppkg-launcher-1.tmp", "a power cut's"); }, true},
        {"every temporary name taken",
         [](WriterFixture& f) {
             for (int n = 1; n <= kTemporaryNames; ++n) f.os.AddFile(u"C:\\out\\" + TemporaryName(n), "taken");
         },
         false},
    };
    for (const Case& c : cases) {
        WriterFixture f;
        f.os.AddFile(u"C:\\Windows\\second.dat", "second");
        c.arrange(f);
        auto before = f.Snapshot();
        const model::Entry earlier = f.os.entries[u"C:\\out\\existing.txt"];
        WriteStatusReport(f.os, u"C:\\out\\existing.txt", kText);
        f.os.beforeCall = nullptr;
        const model::Entry& now = f.os.entries[u"C:\\out\\existing.txt"];
        EXPECT_EQ(now.content == kText && now.id != earlier.id, c.replaced) << c.name << "\n" << f.os.EventLog();
        auto after = f.Snapshot();
        if (c.replaced) {
            after.erase(u"C:\\out\\existing.txt");
            before.erase(u"C:\\out\\existing.txt");
            // A file whose name was taken keeps its bytes under its other one, one link fewer.
            if (earlier.links > 1) {
                EXPECT_EQ(f.Content(u"C:\\Windows\\second.dat"), kOldReport) << c.name;
                after.erase(u"C:\\Windows\\second.dat");
                before.erase(u"C:\\Windows\\second.dat");
            }
        } else {
            // Swapped in by another user: that stays, and nothing more.
            before[u"C:\\out\\existing.txt"] = after[u"C:\\out\\existing.txt"];
        }
        EXPECT_EQ(after, before) << c.name << ": nothing else changes, no new file is left";
        EXPECT_EQ(f.Content(u"C:\\Windows\\protected.dat"), "protected") << c.name;
        EXPECT_LE(f.os.OpenHandleCount(), 1u) << c.name;   // the other program's own handle
    }
}

// Local disks by an allow list. A drive letter is read as the object manager's link before
// anything is opened: a drive mapped to a share or made with subst is refused there, nothing is
// opened and nothing reaches a server. A drive that names a volume of its own is opened, and then
// the volume itself must be a local disk (FILE_DEVICE_DISK or FILE_DEVICE_DISK_FILE_SYSTEM, not
// FILE_REMOTE_DEVICE) and the root opened its volume's root. A copy that decided on the volume
// alone would open a mapped drive's root on its server first.
TEST(WriteStatusReport, AMappedDriveIsRefusedBeforeAnythingIsOpenedAndOnlyLocalDisksAreTaken) {
    struct Case {
        const char* name = "";
        const char16_t* link = nullptr;   // QueryDosDeviceW's answer for D:; nullptr: not defined
        platform::VolumeInfo volume;
        bool opened = false;              // the root was opened before the refusal
        bool written = false;
    };
    const platform::VolumeInfo disk{platform::kDeviceDisk, 0};
    const Case cases[] = {
        {"a local disk", u"\\Device\\HarddiskVolume4", disk, true, true},
        {"a local disk file system", u"\\Device\\HarddiskVolume4", {platform::kDeviceDiskFileSystem, 0x20}, true, true},
        {"mapped to a share", u"\\Device\\LanmanRedirector\\;D:0000000000012345\\server\\share",
         {platform::kDeviceNetworkFileSystem, platform::kVolumeRemoteDevice}, false, false},
        {"mapped through the multiple UNC provider", u"\\Device\\Mup\\;LanmanRedirector\\;D:0\\server\\share",
         {platform::kDeviceMultiUncProvider, 0}, false, false},
        {"made with subst", u"\\??\\C:\\out", disk, false, false},
        {"not defined", nullptr, disk, false, false},
        {"a device named alone that is remote", u"\\Device\\SomeRedirector", {platform::kDeviceDisk, platform::kVolumeRemoteDevice},
         true, false},
        {"a device named alone that is the multiple UNC provider", u"\\Device\\Mup", {platform::kDeviceMultiUncProvider, 0},
         true, false},
        {"a CD", u"\\Device\\CdRom0", {platform::kDeviceCdRom, 0}, true, false},
    };
    for (const Case& c : cases) {
        WriterFixture f;
        f.os.AddDirectory(u"\\\\server\\share");
        f.os.AddDirectory(u"D:\\");
        if (c.link != nullptr) {
            f.os.dosDevices[u"D:"] = c.link;
        } else {
            f.os.faults.push_back(model::Fault("DeviceLink").WithError(model::kErrorFileNotFound));
        }
        f.os.volumes[u"D:"] = c.volume;
        const auto before = f.Snapshot();
        f.Write(u"D:\\status.txt");
        const bool opened = std::find(f.os.calls.begin(), f.os.calls.end(), "OpenRoot \\??\\D:\\") != f.os.calls.end();
        EXPECT_EQ(opened, c.opened) << c.name;
        EXPECT_EQ(f.Wrote(), c.written) << c.name;
        if (!c.written) {
            EXPECT_EQ(f.Snapshot(), before) << c.name;
        }
    }
    // The link read names a volume, but by the open the drive leads to a folder.
    WriterFixture f;
    f.os.beforeCall = [](model::FakeWindows& os, const std::string& operation, const std::u16string&) {
        if (operation == "OpenRoot") os.dosDevices[u"C:"] = u"\\??\\C:\\out";
    };
    const auto before = f.Snapshot();
    f.Write(u"C:\\status.txt");
    EXPECT_EQ(f.Snapshot(), before);
    const std::optional<model::RecordedEvent> refused = model::FirstEvent(f.os, "ReportPathRefused");
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->Field("Reason")->find("folder, not its volume's root"), std::string::npos);
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
         [](WriterFixture& f) { f.os.failCreate.insert(u"C:\\out\\~ppkg-launcher-1.tmp"); }},
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
             f.os.dosDevices[u"Z:"] = u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\server\\share";
             f.os.AddDirectory(u"\\\\server\\share");
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

// The trace names the level where the walk stopped and why, a link's kind, and whether the report
// was written: what an administrator needs to fix the path.
TEST(WriteStatusReport, TraceNamesTheRefusedLevelAndTheReason) {
    struct Case {
        const char* name;
        std::u16string path;
        std::function<void(WriterFixture&)> arrange;
        std::string level;    // empty: the report was written
        std::string reason;   // words the reason holds
        std::string link;
    };
    const Case cases[] = {
        {"written", u"C:\\out\\new\\status.txt", nullptr, "", "", ""},
        {"replaced though it has a second name", u"C:\\out\\existing.txt",
         [](WriterFixture& f) { f.os.AddHardLink(u"C:\\out\\existing.txt", u"C:\\Windows\\second.dat"); }, "", "", ""},
        {"junction a user made", u"C:\\junction\\new\\status.txt", nullptr, "C:\\junction", "follows none", "junction"},
        {"junction an administrator made", u"C:\\adminjunction\\status.txt", nullptr, "C:\\adminjunction",
         "follows none", "junction"},
        {"symbolic link", u"C:\\dirlink\\status.txt", nullptr, "C:\\dirlink", "follows none", "symbolic link"},
        {"file on the way", u"C:\\out\\existing.txt\\status.txt", nullptr, "C:\\out\\existing.txt", "no directory", ""},
        {"folder cannot be made", u"C:\\out\\new\\status.txt",
         [](WriterFixture& f) { f.os.failCreate.insert(u"C:\\out\\new"); }, "C:\\out\\new", "nor made", ""},
        {"report is a link", u"C:\\out\\filelink", nullptr, "C:\\out\\filelink", "link", ""},
        {"report is held open", u"C:\\out\\existing.txt",
         [](WriterFixture& f) { f.os.faults.push_back(model::Fault("RenameInto")); }, "C:\\out\\existing.txt",
         "another program has open", ""},
        {"device name", u"C:\\out\\nul", nullptr, "C:\\out\\nul", "device", ""},
        {"share", u"\\\\server\\share\\status.txt", nullptr, "\\\\server\\share\\", "share", ""},
        {"drive made with subst", u"S:\\status.txt",
         [](WriterFixture& f) { f.os.dosDevices[u"S:"] = u"\\??\\C:\\out"; }, "S:\\", "subst", ""},
        {"a CD", u"E:\\status.txt",
         [](WriterFixture& f) {
             f.os.AddDirectory(u"E:\\");
             f.os.volumes[u"E:"] = {platform::kDeviceCdRom, 0};
         },
         "E:\\", "not a local disk", ""},
        {"a level made a junction once checked", u"C:\\empty\\new\\status.txt",
         [](WriterFixture& f) {
             f.os.AddDirectory(u"C:\\empty");
             f.os.beforeCall = [](model::FakeWindows& os, const std::string& operation, const std::u16string& path) {
                 if (operation == "OpenChild" && path == u"C:\\empty\\new") {
                     EXPECT_TRUE(os.SetReparseAsUser(u"C:\\empty", platform::kReparseTagMountPoint, u"C:\\Windows"));
                 }
             };
         },
         "C:\\empty\\new", "became a link", ""},
        {"the system refuses OBJ_DONT_REPARSE", u"C:\\out\\status.txt",
         [](WriterFixture& f) {
             f.os.faults.push_back(model::Fault("OpenChild").WithError(platform::kErrorInvalidParameter));
         },
         "C:\\out", "1803", ""},
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
        EXPECT_EQ(report->Field("Outcome"), "not written") << c.name;
    }
}

TEST(WriteStatusReport, NothingIsOpenedOrTouchedWithoutTheDescriptor) {
    WriterFixture f;
    f.os.faults.emplace_back("BuildDescriptor");
    f.Write(u"C:\\out\\status.txt");
    EXPECT_TRUE(f.os.calls.empty());
}

// The report is made and written through the handle that made it, so a caller who is not an
// administrator writes the file it made, whatever the report's list grants it; an existing report
// it may not delete stays as it was.
TEST(WriteStatusReport, CallerWhoIsNoAdministratorReplacesOnlyWhatItMayDelete) {
    WriterFixture f;
    f.os.callerIsAdministrator = false;
    f.Write(u"C:\\out\\status.txt");
    EXPECT_EQ(f.Content(u"C:\\out\\status.txt"), kText);
    f.Write(u"C:\\out\\existing.txt");
    EXPECT_EQ(f.Content(u"C:\\out\\existing.txt"), kOldReport);
    EXPECT_FALSE(f.os.Exists(u"C:\\out\\~ppkg-launcher-1.tmp"));
}

// Made and written through one handle, shared with nobody: another user who may rename entries in
// the folder cannot move the new file away or put one of theirs in its place before it is renamed.
TEST(WriteStatusReport, NewReportIsWrittenThroughTheHandleThatMadeIt) {
    WriterFixture f;
    f.os.AddDirectory(u"C:\\shared");
    bool tried = false;
    f.os.beforeCall = [&](model::FakeWindows& os, const std::string& operation, const std::u16string&) {
        if (operation != "WriteBytes" || tried) return;
        tried = true;
        model::Entry theirs;
        theirs.content = "theirs";
        theirs.owner = model::kUserSid;
        EXPECT_FALSE(os.ReplaceAsUser(u"C:\\shared\\~ppkg-launcher-1.tmp", theirs));
        EXPECT_EQ(os.lastError, model::kErrorSharingViolation);
    };
    f.Write(u"C:\\shared\\status.txt");
    EXPECT_TRUE(tried);
    EXPECT_EQ(f.Content(u"C:\\shared\\status.txt"), kText);
}

// One platform failure (or two, where the second is the undoing) per row. The report holds the
// whole text or what stood there; nothing else is changed but the directories and the new file
// listed, and nothing is left open.
TEST(WriteStatusReport, EachPlatformFailureLeavesTheDocumentedFile) {
    using model::Fault;
    struct Case {
        const char* name;
        std::u16string path;
        std::vector<Fault> faults;
        std::u16string file;                  // where the report would go
        std::optional<std::string> content;   // what stands there afterwards
        std::vector<std::u16string> made;     // directories, or a new file, made that stay
    };
    const std::u16string existing = u"C:\\out\\existing.txt";
    const std::u16string fresh = u"C:\\out\\status.txt";
    const std::u16string deep = u"C:\\out\\new\\sub\\status.txt";
    const std::u16string deepTemporary = u"C:\\out\\new\\sub\\~ppkg-launcher-1.tmp";
    const Case cases[] = {
        {"descriptor cannot be built", fresh, {Fault("BuildDescriptor")}, fresh, std::nullopt, {}},
        {"current directory unreadable", u"status.txt", {Fault("CurrentDirectory")}, u"C:\\work\\status.txt",
         std::nullopt, {}},
        {"drive directory unreadable", u"C:out\\status.txt", {Fault("DriveDirectory")},
         u"C:\\work\\out\\status.txt", std::nullopt, {}},
        {"drive's link unreadable", fresh, {Fault("DeviceLink")}, fresh, std::nullopt, {}},
        {"root cannot be opened", fresh, {Fault("OpenRoot")}, fresh, std::nullopt, {}},
        {"volume cannot be queried", fresh, {Fault("QueryVolume")}, fresh, std::nullopt, {}},
        {"root's name cannot be queried", fresh, {Fault("QueryName")}, fresh, std::nullopt, {}},
        {"existing level cannot be opened", fresh, {Fault("OpenChild").At(u"C:\\out")}, fresh, std::nullopt, {}},
        {"level cannot be queried", fresh, {Fault("QueryHandle").At(u"C:\\out")}, fresh, std::nullopt, {}},
        {"directory cannot be created: the one made before is removed", deep,
         {Fault("CreateChildDirectory").At(u"C:\\out\\new\\sub")}, deep, std::nullopt, {}},
        {"removal refused too: the directory stays", deep,
         {Fault("CreateChildDirectory").At(u"C:\\out\\new\\sub"), Fault("MarkForDeletion")}, deep,
         std::nullopt, {u"C:\\out\\new"}},
        {"what stands at the name cannot be looked at", existing, {Fault("OpenChild").At(existing)}, existing,
         kOldReport, {}},
        {"what stands at the name cannot be queried", existing, {Fault("QueryHandle").At(existing)}, existing,
         kOldReport, {}},
        {"the earlier report's list unreadable", existing, {Fault("ReadAccessList")}, existing, kOldReport, {}},
        {"new file cannot be made", fresh, {Fault("CreateChildFile")}, fresh, std::nullopt, {}},
        // What the walk made for a report that is not written goes again.
        {"new file cannot be made: the levels made for it are removed", deep, {Fault("CreateChildFile")}, deep,
         std::nullopt, {}},
        {"folder cannot be queried: the new file and its levels are removed", deep,
         {Fault("QueryHandle").At(u"C:\\out\\new\\sub").OnCall(1)}, deep, std::nullopt, {}},
        {"folder cannot be queried, the new file's removal refused: it and its levels stay", deep,
         {Fault("QueryHandle").At(u"C:\\out\\new\\sub").OnCall(1), Fault("MarkForDeletion").At(deepTemporary)},
         deep,
         std::nullopt, {u"C:\\out\\new", u"C:\\out\\new\\sub", deepTemporary}},
        {"write fails at once", existing, {Fault("WriteBytes").WithError(model::kErrorDiskFull)}, existing, kOldReport,
         {}},
        {"write fails part-way", existing, {Fault("WriteBytes").AfterBytes(12).WithError(model::kErrorDiskFull)},
         existing, kOldReport, {}},
        {"flush fails", existing, {Fault("FlushFile")}, existing, kOldReport, {}},
        {"the earlier list cannot be given to the new file", existing, {Fault("WriteAccessList")}, existing,
         kOldReport, {}},
        {"rename fails", existing, {Fault("RenameInto")}, existing, kOldReport, {}},
        {"rename fails on a new report", fresh, {Fault("RenameInto")}, fresh, std::nullopt, {}},
        // A report named as the first new file would be is never made under its own name: a new
        // file that cannot be written or removed stays under the next name, not the report's.
        {"write and removal fail for a report named like the new file", u"C:\\out\\~ppkg-launcher-1.tmp",
         {Fault("WriteBytes"), Fault("MarkForDeletion")}, u"C:\\out\\~ppkg-launcher-1.tmp", std::nullopt,
         {u"C:\\out\\~ppkg-launcher-2.tmp"}},
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
        EXPECT_EQ(after, before) << c.name << ": only the report and the listed entries may change";
    }
}

}  // namespace
}  // namespace report
