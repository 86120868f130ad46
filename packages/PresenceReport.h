#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "packages/Presence.h"

namespace packages {

// Why a report reads as it does, for the trace.
enum class ReportReason : std::uint8_t {
    Empty,            // no output at all, or the byte-order mark alone: no package
    NoByteOrderMark,  // not what the redirection writes
    NoInstalledLine,  // no "IsInstalled" line
    OtherValue,       // "IsInstalled" neither True nor False
    InstalledTrue,
    InstalledFalse,   // known to the store, installation pending
};

struct ReportAnalysis {
    Presence presence = Presence::NotReported;
    ReportReason reason = ReportReason::Empty;
    // Set only for a present package whose report holds a "Version" label: the text that
    // replaces the recorded version (possibly empty). Unset leaves the version as it was.
    std::optional<std::u16string> version;
};

// Reads the cmdlet's formatted output as PowerShell's redirection writes it: UTF-16LE with
// a byte-order mark. Pure: the bytes are all it looks at, and it never reads past them.
ReportAnalysis AnalyzePresenceReport(const std::uint8_t* data, std::size_t size);

}  // namespace packages
