#include "packages/PresenceReport.h"

#include <span>
#include <string_view>

#include "packages/InstalledVersion.h"

namespace packages {
namespace {

constexpr std::u16string_view kInstalledLabel = u"IsInstalled     : ";
constexpr std::u16string_view kVersionLabel = u"Version";
// U+FEFF as the redirection writes it, low byte first.
constexpr std::uint8_t kByteOrderMarkLow = 0xFF;
constexpr std::uint8_t kByteOrderMarkHigh = 0xFE;
constexpr int kBitsPerByte = 8;

bool EqualsIgnoringAsciiCase(std::u16string_view text, std::size_t at, std::u16string_view word) {
    if (at > text.size() || text.size() - at < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char16_t a = text[at + i];
        char16_t b = word[i];
        if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
        if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b - u'A' + u'a');
        if (a != b) return false;
    }
    return true;
}

// The value of the first "Version" label: from two units after the next colon up to the
// line feed, less one carriage return. Anything that does not fit on that line, or in the
// recorded version, is no version at all.
std::u16string ExtractVersion(std::u16string_view text, std::size_t label) {
    const std::size_t colon = text.find(u':', label);
    if (colon == std::u16string_view::npos) return {};
    const std::size_t start = colon + 2;
    const std::size_t lineFeed = text.find(u'\n', colon + 1);
    std::size_t end = lineFeed == std::u16string_view::npos ? text.size() : lineFeed;
    if (start >= end) return {};
    if (text[end - 1] == u'\r') --end;
    if (end <= start || end - start > InstalledVersion::kMaxLength) return {};
    return std::u16string(text.substr(start, end - start));
}

}  // namespace

ReportAnalysis AnalyzePresenceReport(const std::uint8_t* data, std::size_t size) {
    ReportAnalysis result;
    if (size == 0) return result;   // PowerShell wrote nothing to report
    const std::span<const std::uint8_t> bytes(data, size);
    if (size < 2 || bytes[0] != kByteOrderMarkLow || bytes[1] != kByteOrderMarkHigh) {
        result.presence = Presence::CouldNotAsk;   // not what the redirection writes
        return result;
    }

    std::u16string text;
    text.reserve(size / 2);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << kBitsPerByte)));
    }
    const std::u16string_view view(text);

    const std::size_t label = view.find(kInstalledLabel);
    if (label == std::u16string_view::npos) return result;
    const std::size_t value = label + kInstalledLabel.size();
    // Either value means the store knows the package: False is an installed-but-pending
    // state, not absence.
    if (!EqualsIgnoringAsciiCase(view, value, u"True") && !EqualsIgnoringAsciiCase(view, value, u"False")) {
        return result;
    }
    result.presence = Presence::Present;

    const std::size_t version = view.find(kVersionLabel);
    if (version != std::u16string_view::npos) result.version = ExtractVersion(view, version);
    return result;
}

}  // namespace packages
