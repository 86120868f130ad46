#include "launcher/StatusAction.h"

#include <algorithm>
#include <limits>

#include "packages/PresenceQuery.h"
#include "report/StatusReportWriter.h"

namespace launcher {
namespace {

constexpr std::string_view kVersionLabel = "Version=";
constexpr std::string_view kNotInstalled = "Not installed\n";

bool FitsInByte(char16_t unit) { return unit <= std::numeric_limits<unsigned char>::max(); }

}  // namespace

void FormatVersionLine(std::u16string_view version, ReportText& text) {
    text.fill('\0');
    const std::u16string_view units = version.substr(0, version.find(u'\0'));
    // The label, the units, the line feed and the terminating NUL.
    if (kVersionLabel.size() + units.size() + 2 > text.size()) return;
    if (!std::all_of(units.begin(), units.end(), FitsInByte)) return;

    std::size_t at = kVersionLabel.copy(text.data(), kVersionLabel.size());
    for (const char16_t unit : units) text[at++] = static_cast<char>(static_cast<unsigned char>(unit));
    text[at] = '\n';
}

void FormatNotInstalled(ReportText& text) {
    text.fill('\0');
    kNotInstalled.copy(text.data(), kNotInstalled.size());
}

std::string_view TextOf(const ReportText& text) {
    const auto end = std::find(text.begin(), text.end(), '\0');
    return std::string_view(text.data(), static_cast<std::size_t>(end - text.begin()));
}

int ReportStatus(platform::Platform& os, packages::InstalledVersion& version, std::u16string path) {
    if (path.empty()) return 0;
    ReportText text{};

    if (!packages::AnyPackageReported(os, version)) {
        FormatNotInstalled(text);
        report::WriteStatusReport(os, std::move(path), TextOf(text));
        return 0;
    }
    // Asked again so that the version written is one the store still reports.
    if (!packages::AnyPackageReported(os, version)) return 0;
    FormatVersionLine(version.Text(), text);
    report::WriteStatusReport(os, std::move(path), TextOf(text));
    return 1;
}

}  // namespace launcher
