#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "packages/PresenceReport.h"
#include "tests/model/SimulatedStore.h"

namespace packages {
namespace {

using model::Utf16Bytes;

std::string Listing(const std::u16string& installed, const std::u16string& versionLine) {
    return Utf16Bytes(u"\r\nPackageId       : x\r\nIsInstalled     : " + installed + u"\r\n" + versionLine);
}

// A buffer of exactly the report's size, so that AddressSanitizer sees any read past it (a
// string would have its terminator there).
ReportAnalysis Analyze(const std::string& bytes) {
    const std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
    return AnalyzePresenceReport(exact.data(), exact.size());
}

struct ReportCase {
    const char* name;
    std::string bytes;
    Presence presence;
    std::optional<std::u16string> version;   // nullopt: leave the recorded version alone
};

const std::u16string kLong254(254, u'9');
const std::u16string kLong255(255, u'9');

const ReportCase kReportCases[] = {
    {"true with CRLF", Listing(u"True", u"Version         : 10.0.1.3\r\n"), Presence::Present, u"10.0.1.3"},
    {"capitals", Listing(u"TRUE", u"Version : 1\r\n"), Presence::Present, u"1"},
    {"lower case", Listing(u"true", u"Version : 1\r\n"), Presence::Present, u"1"},
    {"only four units compared", Listing(u"Trueish", u"Version : 1\r\n"), Presence::Present, u"1"},
    {"false still present", Listing(u"False", u"Version : 2.0\r\n"), Presence::Present, u"2.0"},
    {"false capitals", Listing(u"FALSE", u"Version : 2.0\r\n"), Presence::Present, u"2.0"},
    {"other value", Listing(u"Maybe", u"Version : 2.0\r\n"), Presence::NotReported, std::nullopt},
    {"value cut short", Utf16Bytes(u"IsInstalled     : Tru"), Presence::NotReported, std::nullopt},
    {"four spaces", Utf16Bytes(u"IsInstalled    : True\r\nVersion : 1\r\n"), Presence::NotReported, std::nullopt},
    {"six spaces", Utf16Bytes(u"IsInstalled      : True\r\nVersion : 1\r\n"), Presence::NotReported, std::nullopt},
    {"empty file", std::string(), Presence::NotReported, std::nullopt},
    {"byte-order mark only", std::string("\xFF\xFE", 2), Presence::NotReported, std::nullopt},
    {"no byte-order mark", Utf16Bytes(u"IsInstalled     : True\r\n", false), Presence::CouldNotAsk, std::nullopt},
    {"eight-bit text", std::string("IsInstalled     : True\r\n"), Presence::CouldNotAsk, std::nullopt},
    {"single byte", std::string("\xFF", 1), Presence::CouldNotAsk, std::nullopt},
    // The unit before a bare line feed is part of the value; only a carriage return is dropped.
    {"bare line feed", Listing(u"True", u"Version : 10.0.1.3\n"), Presence::Present, u"10.0.1.3"},
    {"one unit, bare LF", Listing(u"True", u"Version : 5\n"), Presence::Present, u"5"},
    {"one unit, CRLF", Listing(u"True", u"Version : 5\r\n"), Presence::Present, u"5"},
    {"empty value", Listing(u"True", u"Version : \r\n"), Presence::Present, u""},
    {"line feed at value start", Listing(u"True", u"Version :\n9\r\n"), Presence::Present, u""},
    {"carriage return at value start", Listing(u"True", u"Version :\r\n9\r\n"), Presence::Present, u""},
    {"no line feed after value", Listing(u"True", u"Version : 3.1"), Presence::Present, u"3.1"},
    {"no colon after label", Listing(u"True", u"Version"), Presence::Present, u""},
    {"colon is the last unit", Listing(u"True", u"Version :"), Presence::Present, u""},
    {"longest version kept", Listing(u"True", u"Version : " + kLong254 + u"\r\n"), Presence::Present, kLong254},
    {"too long is no version", Listing(u"True", u"Version : " + kLong255 + u"\r\n"), Presence::Present, u""},
    {"no version label", Listing(u"True", u"Rank : 1\r\n"), Presence::Present, std::nullopt},
    // The first "Version" anywhere counts, inside a longer word and before the label too.
    {"inside a longer word", Utf16Bytes(u"OSVersion : 7\r\nIsInstalled     : True\r\nVersion : 8\r\n"),
     Presence::Present, u"7"},
    {"odd trailing byte ignored", Listing(u"True", u"Version : 4\r\n") + "\x41", Presence::Present, u"4"},
};

TEST(AnalyzePresenceReport, ReadsLabelAndVersion) {
    for (const ReportCase& c : kReportCases) {
        const ReportAnalysis analysis = Analyze(c.bytes);
        EXPECT_EQ(analysis.presence, c.presence) << c.name;
        EXPECT_EQ(analysis.version, c.version) << c.name;
    }
}

TEST(AnalyzePresenceReport, NeverReadsPastTheText) {
    // Every prefix of a report is a report too; ASan guards the reads.
    const std::string full = Listing(u"True", u"Version : 10.0.1.3\r\n");
    for (std::size_t size = 0; size <= full.size(); ++size) {
        std::vector<std::uint8_t> exact(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
        AnalyzePresenceReport(exact.data(), exact.size());
    }
}

}  // namespace
}  // namespace packages
