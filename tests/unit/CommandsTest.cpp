#include <gtest/gtest.h>

#include "packages/Commands.h"

namespace packages {
namespace {

platform::AnsiCodePage Windows1252() {
    platform::AnsiCodePage codePage;
    codePage.singleQuotes = {"\x91", "\x92", "\x82"};
    return codePage;
}

TEST(FormatReportPath, FollowsTheNamePattern) {
    EXPECT_EQ(FormatReportPath("C:\\Temp\\", 0x1a2b), "C:\\Temp\\norv4c7d2a00-91e3-4b58-a6f2-3d05c1a2b.pkt");
    EXPECT_EQ(FormatReportPath("C:\\Temp\\", 0), "C:\\Temp\\norv4c7d2a00-91e3-4b58-a6f2-3d05c0.pkt");
    EXPECT_EQ(FormatReportPath("C:\\Temp\\", 32767), "C:\\Temp\\norv4c7d2a00-91e3-4b58-a6f2-3d05c7fff.pkt");
}

TEST(FormatReportPath, RefusesWhatWouldNotFit) {
    // The name adds 38 bytes for a one-digit number; 260 bytes fit, 261 do not.
    const std::string fits(260 - 38, 'a');
    EXPECT_EQ(FormatReportPath(fits, 0)->size(), 260u);
    EXPECT_FALSE(FormatReportPath(fits + "a", 0));
}

struct QuoteCase {
    const char* name;
    std::string path;
    std::string redirection;   // what follows the identifier and the blank
};

const QuoteCase kQuoteCases[] = {
    {"plain", "C:\\Temp\\r.pkt", ">C:\\Temp\\r.pkt"},
    {"all plain punctuation", "C:\\a_b-c~1.d\\r.pkt", ">C:\\a_b-c~1.d\\r.pkt"},
    {"blank", "C:\\Users\\Ann Lee\\r.pkt", ">\"'C:\\Users\\Ann Lee\\r.pkt'\""},
    {"blanks in a row", "C:\\a  b\\r.pkt", ">\"'C:\\a  b\\r.pkt'\""},
    {"apostrophe doubled", "C:\\o'k\\r.pkt", ">\"'C:\\o''k\\r.pkt'\""},
    {"typographic quotes doubled", "C:\\\x91x\x92\x82\\r.pkt", ">\"'C:\\\x91\x91x\x92\x92\x82\x82\\r.pkt'\""},
    {"metacharacters stay literal", "C:\\$env;(a)&`b\\r.pkt", ">\"'C:\\$env;(a)&`b\\r.pkt'\""},
};

TEST(FormatQueryCommand, QuotesPathsPowerShellWouldReinterpret) {
    for (const QuoteCase& c : kQuoteCases) {
        EXPECT_EQ(FormatQueryCommand("ID", c.path, Windows1252()),
                  "powershell.exe Get-ProvisioningPackage -PackageId ID " + c.redirection)
            << c.name;
    }
}

TEST(FormatQueryCommand, DoubleByteCharactersMoveAsAWhole) {
    platform::AnsiCodePage codePage;
    codePage.isLeadByte[0x81] = true;
    codePage.singleQuotes = {"\x81\x65"};
    // "\x81\x81" is one character; the "\x81\x65" that straddles it is no quote.
    EXPECT_EQ(FormatQueryCommand("ID", "C:\\\x81\x81\x65\\r", codePage),
              "powershell.exe Get-ProvisioningPackage -PackageId ID >\"'C:\\\x81\x81\x65\\r'\"");
    EXPECT_EQ(FormatQueryCommand("ID", "C:\\\x81\x65\\r", codePage),
              "powershell.exe Get-ProvisioningPackage -PackageId ID >\"'C:\\\x81\x65\x81\x65\\r'\"");
}

TEST(FormatQueryCommand, RefusesWhatWouldNotFit) {
    const std::string head = "powershell.exe Get-ProvisioningPackage -PackageId ID >";
    const std::string fits(kCommandBufferSize - 1 - head.size(), 'a');
    EXPECT_TRUE(FormatQueryCommand("ID", fits, Windows1252()));
    EXPECT_FALSE(FormatQueryCommand("ID", fits + "a", Windows1252()));
}

// Inside or outside the quotes, a double quote would end up toggling the split, so the target
// PowerShell read would be another file.
TEST(FormatQueryCommand, RefusesAPathWithADoubleQuote) {
    for (const char* path : {"C:\\a\\\"b\\r.pkt", "C:\\a\\\" >x\\r.pkt", "C:\\ab\\\\\"\\r.pkt", "\""}) {
        EXPECT_FALSE(FormatQueryCommand("ID", path, Windows1252())) << path;
    }
}

TEST(FormatRemovalCommand, NamesThePackage) {
    EXPECT_EQ(FormatRemovalCommand("4c7d2a00-91e3-4b58-a6f2-3d05c1e8b94f"),
              "powershell.exe Remove-ProvisioningPackage -PackageId 4c7d2a00-91e3-4b58-a6f2-3d05c1e8b94f");
}

}  // namespace
}  // namespace packages
