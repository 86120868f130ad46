#pragma once

#include <map>
#include <string>

#include "platform/Platform.h"
#include "report/ReportSecurity.h"
#include "tests/model/FakeWindows.h"

namespace report {

inline constexpr std::uint32_t kOtherTag = 0x80000017u;   // a reparse point neither link nor mount point
inline const std::string kOldReport = "Version=0.0.0.1-old-and-longer\n";
inline const std::u16string kOwnSddl = u"D:(A;;FA;;;WD)";
// A folder every user may add files and folders to, as C:\ProgramData is set up: full access
// for the system and administrators, full access for whoever creates an entry, read for
// Users, and for Users on folders below it add-file, add-subfolder and write-attributes.
inline const std::u16string kProgramDataSddl =
    u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;0x116;;;BU)";

// A drive with the kinds of entry the report path checks tell apart. The security object is
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
        os.Find(u"C:\\other")->reparseTag = kOtherTag;
        os.AddFile(u"C:\\out\\otherfile");
        os.Find(u"C:\\out\\otherfile")->reparseTag = kOtherTag;
        os.AddDirectory(u"C:\\winelink");   // what Wine shows for a link: the bit, tag 0
        os.Find(u"C:\\winelink")->reparseBitWithoutTag = true;
    }

    // Every entry with everything the model keeps about it, to show what a call left alone.
    std::map<std::u16string, std::string> Snapshot() const {
        std::map<std::u16string, std::string> all;
        for (const auto& [path, entry] : os.entries) {
            all[path] = std::to_string(entry.Attributes()) + "|" + std::to_string(entry.reparseTag) + "|" +
                        model::Narrow(entry.target) + "|" + entry.content + "|" + model::Narrow(entry.sddl) + "|" +
                        std::to_string(entry.links);
        }
        return all;
    }

    const model::Entry* At(const std::u16string& path) { return os.Find(path); }
};

}  // namespace report
