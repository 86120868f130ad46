#include "packages/VersionRecord.h"

#include <string>

#include "platform/Tracing.h"

namespace packages {

void WriteVersionRecord(platform::Platform& os, const InstalledVersion& version) {
    using platform::TraceWide;
    if (version.Text().empty()) {
        platform::Emit(os, "VersionRecordNotWritten", platform::TraceLevel::Information, platform::kTraceRegistry,
                       {TraceWide("Key", kVersionRecordKey),
                        platform::TraceText("Reason", "the store reported no version")});
        return;
    }
    if (!os.WriteRegistryString(kVersionRecordKey, kVersionValueName, std::u16string(version.Text()))) {
        platform::EmitCallFailed(os, platform::kTraceRegistry, "WriteRegistryString",
                                 {TraceWide("Key", kVersionRecordKey), TraceWide("Version", version.Text())});
        return;
    }
    platform::Emit(os, "VersionRecordWritten", platform::TraceLevel::Information, platform::kTraceRegistry,
                   {TraceWide("Key", kVersionRecordKey), TraceWide("Version", version.Text())});
}

bool DeleteVersionRecord(platform::Platform& os) {
    using platform::TraceWide;
    if (!os.DeleteRegistryTree(kVersionRecordKey)) {
        platform::EmitCallFailed(os, platform::kTraceRegistry, "DeleteRegistryTree",
                                 {TraceWide("Key", kVersionRecordKey)});
        return false;
    }
    platform::Emit(os, "VersionRecordDeleted", platform::TraceLevel::Information, platform::kTraceRegistry,
                   {TraceWide("Key", kVersionRecordKey)});
    return true;
}

}  // namespace packages
