#pragma once

#include <map>
#include <string>

#include "platform/Platform.h"
#include "report/ReportSecurity.h"
#include "tests/model/FakeWindows.h"

namespace report {

inline constexpr std::uint32_t kOtherTag = 0x80000017u;   // a reparse point neither link nor mount point
// Cloud files: no link, and a folder with it may hold entries (its tag has the directory bit).
inline constexpr std::uint32_t kCloudTag = 0x9000001Au;
inline const std::string kOldReport = "Version=0.0.0.1-old-and-longer\n";
inline const std::u16string kOwnSddl = u"D:(A;;FA;;;WD)";
// A folder every user may add files and folders to, as C:\ProgramData is set up: full access
// for the system and administrators, full access for whoever creates an entry, read for
// Users, and for Users on folders below it add-file, add-subfolder and write-attributes.
inline const std::u16string kProgramDataSddl =
    u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;0x116;;;BU)";

// A drive with the kinds of entry the report path walk tells apart. Links are made by a
// standard user unless their name says an administrator made them. The security object is
// built in the model, so created entries record kReportSddl.
struct ReportFixture {
    model::FakeWindows os;

    ReportFixture() {
        os.AddDirectory(u"C:\\out");
        os.AddFile(u"C:\\out\\existing.txt", kOldReport);
        os.Find(u"C:\\out\\existing.txt")->sddl = kOwnSddl;
        os.AddDirectory(u"C:\\ro", 0x11);     // read-only directory
        os.AddDirectory(u"C:\\arch", 0x30);   // directory with the archive bit
        os.AddDirectory(u"C:\\Windows");
        os.AddFile(u"C:\\Windows\\protected.dat", "protected");
        os.AddLink(u"C:\\junction", platform::kReparseTagMountPoint, u"C:\\out", true);
        os.AddLink(u"C:\\dirlink", platform::kReparseTagSymlink, u"C:\\out", true);
        os.AddLink(u"C:\\out\\filelink", platform::kReparseTagSymlink, u"C:\\Windows\\protected.dat", false);
        os.AddLink(u"C:\\out\\dangling", platform::kReparseTagSymlink, u"C:\\nowhere\\gone.txt", false);
        os.AddDirectory(u"C:\\other");
        os.Find(u"C:\\other")->reparseTag = kCloudTag;
        os.AddFile(u"C:\\out\\otherfile");
        os.Find(u"C:\\out\\otherfile")->reparseTag = kOtherTag;
        os.AddDirectory(u"C:\\winelink");   // what Wine shows for a link: the bit, tag 0
        os.Find(u"C:\\winelink")->reparseBitWithoutTag = true;
        // The same two links, made by an administrator.
        os.AddLink(u"C:\\adminjunction", platform::kReparseTagMountPoint, u"C:\\out", true, model::kAdministratorsSid);
        os.AddLink(u"C:\\adminlink", platform::kReparseTagSymlink, u"C:\\out", true, model::kAdministratorsSid);
    }

    // Every entry with everything the model keeps about it, to show what a call left alone.
    std::map<std::u16string, std::string> Snapshot() const {
        std::map<std::u16string, std::string> all;
        for (const auto& [path, entry] : os.entries) {
            all[path] = std::to_string(entry.Attributes()) + "|" + std::to_string(entry.reparseTag) + "|" +
                        model::Narrow(entry.target) + "|" + entry.content + "|" + model::Narrow(entry.sddl) + "|" +
                        std::to_string(entry.links) + "|" + model::Narrow(entry.owner);
        }
        return all;
    }

    const model::Entry* At(const std::u16string& path) { return os.Find(path); }
};

}  // namespace report
