#include "packages/VersionRecord.h"

#include <string>

namespace packages {

void WriteVersionRecord(platform::Platform& os, const InstalledVersion& version) {
    if (version.Text().empty()) return;
    os.WriteRegistryString(kVersionRecordKey, kVersionValueName, std::u16string(version.Text()));
}

bool DeleteVersionRecord(platform::Platform& os) { return os.DeleteRegistryTree(kVersionRecordKey); }

}  // namespace packages
