#pragma once

#include <map>
#include <string>

#include "tests/model/FakeWindows.h"

// A provisioning store behind the model's processes: the query writes the cmdlet's report
// (UTF-16LE, byte-order mark, CRLF) to its redirection target, the removal forgets a
// removable package, the provisioning tool applies what the package file holds. Only the
// programs in the model's system folder reach the store; any other program started does nothing.
namespace model {

struct StoredPackage {
    std::u16string version;
    std::u16string installed = u"True";
    bool removable = true;
};

class SimulatedStore {
public:
    explicit SimulatedStore(FakeWindows& os);

    std::map<std::string, StoredPackage> packages;   // by identifier
    std::map<std::string, std::string> rawReports;   // identifier -> report bytes served verbatim
    std::map<std::string, StoredPackage> applies;    // what the provisioning tool installs
    bool powershellMissing = false;   // powershell.exe cannot be started
    bool powershellSilent = false;    // it starts and writes nothing
    bool provtoolMissing = false;

    static std::string Report(const std::string& id, const StoredPackage& package);

private:
    bool Run(FakeWindows& os, const std::string& commandLine);
};

// UTF-16LE bytes of a text, with the byte-order mark when asked.
std::string Utf16Bytes(const std::u16string& text, bool withBom = true);

}  // namespace model
