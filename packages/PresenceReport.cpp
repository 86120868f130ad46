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

// The report's UTF-16LE units, read where they lie. The bytes are another program's output,
// up to the size the query accepts, so the analysis makes no copy of them that could fail.
class Utf16LeUnits {
public:
    explicit Utf16LeUnits(std::span<const std::uint8_t> bytes) : bytes_(bytes), size_(bytes.size() / 2) {}
    std::size_t size() const { return size_; }
    char16_t operator[](std::size_t at) const {
        return static_cast<char16_t>(bytes_[2 * at] | (bytes_[2 * at + 1] << kBitsPerByte));
    }
    // The first position at or after `from` where `word` starts, or npos.
    std::size_t Find(std::u16string_view word, std::size_t from = 0) const {
        for (std::size_t at = from; at < size_ && size_ - at >= word.size(); ++at) {
            if (StartsWith(at, word)) return at;
        }
        return std::u16string_view::npos;
    }
    bool StartsWith(std::size_t at, std::u16string_view word) const {
        if (at > size_ || size_ - at < word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            if ((*this)[at + i] != word[i]) return false;
        }
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t size_;
};

char16_t FoldAscii(char16_t unit) {
    return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

bool EqualsIgnoringAsciiCase(const Utf16LeUnits& text, std::size_t at, std::u16string_view word) {
    if (at > text.size() || text.size() - at < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (FoldAscii(text[at + i]) != FoldAscii(word[i])) return false;
    }
    return true;
}

// The value of the first "Version" label: from two units after the next colon up to the
// line feed, less one carriage return. Anything that does not fit on that line, or in the
// recorded version, is no version at all.
std::u16string ExtractVersion(const Utf16LeUnits& text, std::size_t label) {
    const std::size_t colon = text.Find(u":", label);
    if (colon == std::u16string_view::npos) return {};
    const std::size_t start = colon + 2;
    const std::size_t lineFeed = text.Find(u"\n", colon + 1);
    std::size_t end = lineFeed == std::u16string_view::npos ? text.size() : lineFeed;
    if (start >= end) return {};
    if (text[end - 1] == u'\r') --end;
    if (end <= start || end - start > InstalledVersion::kMaxLength) return {};
    std::u16string version;
    for (std::size_t at = start; at < end; ++at) version.push_back(text[at]);
    return version;
}

}  // namespace

ReportAnalysis AnalyzePresenceReport(const std::uint8_t* data, std::size_t size) {
    ReportAnalysis result;
    if (size == 0) return result;   // PowerShell wrote nothing to report
    const std::span<const std::uint8_t> bytes(data, size);
    if (size < 2 || bytes[0] != kByteOrderMarkLow || bytes[1] != kByteOrderMarkHigh) {
        result.presence = Presence::CouldNotAsk;   // not what the redirection writes
        result.reason = ReportReason::NoByteOrderMark;
        return result;
    }

    if (size == 2) return result;   // the mark alone: the cmdlet had nothing to say
    const Utf16LeUnits text(bytes);
    const std::size_t label = text.Find(kInstalledLabel);
    if (label == std::u16string_view::npos) {
        result.reason = ReportReason::NoInstalledLine;
        return result;
    }
    const std::size_t value = label + kInstalledLabel.size();
    // Either value means the store knows the package: False is an installed-but-pending
    // state, not absence.
    const bool installed = EqualsIgnoringAsciiCase(text, value, u"True");
    if (!installed && !EqualsIgnoringAsciiCase(text, value, u"False")) {
        result.reason = ReportReason::OtherValue;
        return result;
    }
    result.presence = Presence::Present;
    result.reason = installed ? ReportReason::InstalledTrue : ReportReason::InstalledFalse;

    const std::size_t version = text.Find(kVersionLabel);
    if (version != std::u16string_view::npos) result.version = ExtractVersion(text, version);
    return result;
}

}  // namespace packages
