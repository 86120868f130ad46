#include "tests/model/SimulatedStore.h"

namespace model {
namespace {

constexpr const char* kQuery = "powershell.exe Get-ProvisioningPackage -PackageId ";
constexpr const char* kRemove = "powershell.exe Remove-ProvisioningPackage -PackageId ";
constexpr const char* kInstall = "C:\\Windows\\System32\\provtool.exe Norv_CML_PPM_Package.ppkg /quiet";

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The redirection target as PowerShell sees it: bare, or "'...'" with '' for one quote.
std::string RedirectTarget(const std::string& text) {
    if (!StartsWith(text, "\"'")) return text;
    std::string target;
    for (std::size_t i = 2; i < text.size(); ++i) {
        if (text[i] == '\'') {
            if (i + 1 < text.size() && text[i + 1] == '\'') {
                target.push_back('\'');
                ++i;
                continue;
            }
            break;
        }
        target.push_back(text[i]);
    }
    return target;
}

}  // namespace

std::string Utf16Bytes(const std::u16string& text, bool withBom) {
    std::string bytes = withBom ? std::string("\xFF\xFE", 2) : std::string();
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

SimulatedStore::SimulatedStore(FakeWindows& os) {
    os.onCommand = [this](FakeWindows& system, const std::string& line) { return Run(system, line); };
}

std::string SimulatedStore::Report(const std::string& id, const StoredPackage& package) {
    const std::u16string wideId = Widen(id);
    return Utf16Bytes(u"\r\nPackageId       : " + wideId + u"\r\nPackageName     : Norv CML PPM\r\n" +
                      u"IsInstalled     : " + package.installed + u"\r\nVersion         : " + package.version +
                      u"\r\n\r\n\r\n");
}

bool SimulatedStore::Run(FakeWindows& os, const std::string& line) {
    // The tools stand only in the system folder; any other program started plays no part.
    const std::string folder = os.systemFolder.value_or("");
    const std::string& application = os.applications.back();
    const bool isPowerShell = application == folder + "\\WindowsPowerShell\\v1.0\\powershell.exe";
    const bool isProvtool = application == folder + "\\provtool.exe";
    if (StartsWith(line, "powershell.exe ")) {
        if (!isPowerShell) return true;
        if (powershellMissing) return false;
        if (powershellSilent) return true;
    }
    if (StartsWith(line, kQuery)) {
        const std::size_t redirect = line.find(" >");
        const std::string id = line.substr(std::string(kQuery).size(), redirect - std::string(kQuery).size());
        const std::string target = RedirectTarget(line.substr(redirect + 2));
        std::string report("\xFF\xFE", 2);
        if (rawReports.count(id) != 0) {
            report = rawReports[id];
        } else if (packages.count(id) != 0) {
            report = Report(id, packages[id]);
        }
        Entry* entry = os.Find(Widen(target));
        if (entry == nullptr) {
            os.AddFile(Widen(target), report);
        } else {
            entry->content = report;   // the redirection truncates and rewrites
        }
        return true;
    }
    if (StartsWith(line, kRemove)) {
        const auto found = packages.find(line.substr(std::string(kRemove).size()));
        if (found != packages.end() && found->second.removable) packages.erase(found);
        return true;
    }
    if (line == kInstall) {
        if (provtoolMissing) return false;
        if (!isProvtool) return true;
        for (const auto& [id, package] : applies) packages[id] = package;
        return true;
    }
    return true;
}

}  // namespace model
