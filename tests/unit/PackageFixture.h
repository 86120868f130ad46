#pragma once

#include <string>
#include <vector>

#include "packages/InstalledVersion.h"
#include "packages/PackageIds.h"
#include "tests/model/FakeWindows.h"
#include "tests/model/SimulatedStore.h"

namespace packages {

inline const std::string kId1 = PackageIds[0];
inline const std::string kId2 = PackageIds[1];

// The model with a simulated store behind its processes, and the commands it saw in short.
struct PackageFixture {
    model::FakeWindows os;
    model::SimulatedStore store{os};
    InstalledVersion version;

    // "remove 1", "query 2", "provtool": the commands in the order they ran.
    std::vector<std::string> Steps() const {
        std::vector<std::string> steps;
        for (const std::string& line : os.commands) {
            const std::string which = line.find(kId1) != std::string::npos ? "1" : "2";
            if (line.find("Remove-ProvisioningPackage") != std::string::npos) {
                steps.push_back("remove " + which);
            } else if (line.find("Get-ProvisioningPackage") != std::string::npos) {
                steps.push_back("query " + which);
            } else if (line.find("provtool.exe") != std::string::npos) {
                steps.push_back("provtool");
            } else {
                steps.push_back(line);
            }
        }
        return steps;
    }

    // Temp report files left behind.
    std::size_t LeftoverReports() const {
        std::size_t count = 0;
        for (const auto& [path, entry] : os.entries) {
            if (path.size() > 4 && path.substr(path.size() - 4) == u".pkt") ++count;
        }
        return count;
    }

    void SeedRecord(const std::u16string& text) {
        os.WriteRegistryString(u"SOFTWARE\\NORV\\Quorrant\\Selvond", u"Version", text);
    }
    std::optional<std::u16string> Record() const {
        return os.RegistryString(u"SOFTWARE\\NORV\\Quorrant\\Selvond", u"Version");
    }
    bool RecordKeyExists() const { return os.registry.count(u"SOFTWARE\\NORV\\Quorrant\\Selvond") != 0; }
};

}  // namespace packages
