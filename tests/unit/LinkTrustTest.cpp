#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/LinkTrust.h"
#include "tests/model/FakeWindows.h"

namespace report {
namespace {

using platform::AccessEntry;

constexpr std::uint8_t kAllow = 0;
constexpr std::uint8_t kDeny = 1;
constexpr std::uint8_t kInheritOnly = 0x08;
const std::u16string kSystem(model::kSystemSid);
const std::u16string kAdmins(model::kAdministratorsSid);
const std::u16string kInstaller(model::kTrustedInstallerSid);
const std::u16string kUser(model::kUserSid);
const std::u16string kUsers = u"S-1-5-32-545";

// Who owns a link, and who else its list lets change it: FILE_WRITE_DATA or
// FILE_WRITE_ATTRIBUTES repoint it, DELETE renames or removes it, WRITE_DAC grants any of these,
// WRITE_OWNER takes the link.
TEST(JudgeLink, TrustsALinkOwnedByTheSystemOrAdministratorsAndChangeableByNobodyElse) {
    const AccessEntry fullForAdmins{kAllow, 0, 0x1F01FF, kAdmins};
    const AccessEntry readForUsers{kAllow, 0, 0x1200A9, kUsers};
    struct Case {
        const char* name;
        std::u16string owner;
        bool hasList;
        std::vector<AccessEntry> list;
        bool trusted;
    };
    const Case cases[] = {
        {"system", kSystem, true, {fullForAdmins, readForUsers}, true},
        {"administrators", kAdmins, true, {fullForAdmins}, true},
        {"trusted installer", kInstaller, true, {}, true},
        {"a standard user", kUser, true, {fullForAdmins}, false},
        {"a user named like a group", u"S-1-5-32-5440", true, {}, false},
        {"no owner read", u"", true, {}, false},
        {"no list: everyone may do everything", kAdmins, false, {}, false},
        {"users may write attributes", kAdmins, true, {fullForAdmins, {kAllow, 0, 0x100, kUsers}}, false},
        {"users may write data", kAdmins, true, {{kAllow, 0, 0x2, kUsers}}, false},
        {"everyone generic write", kAdmins, true, {{kAllow, 0, 0x40000000, u"S-1-1-0"}}, false},
        {"a user generic all", kAdmins, true, {{kAllow, 0, 0x10000000, kUser}}, false},
        {"a user may change the list", kAdmins, true, {{kAllow, 0, 0x40000, kUser}}, false},
        {"a user may take it", kAdmins, true, {{kAllow, 0, 0x80000, kUser}}, false},
        {"owner rights may write", kAdmins, true, {{kAllow, 0, 0x1F01FF, u"S-1-3-4"}}, true},
        {"users may read", kAdmins, true, {{kAllow, 0, 0x1200A9, kUsers}}, true},
        {"users may delete it, so move it", kAdmins, true, {{kAllow, 0, 0x10000 | 0x1200A9, kUsers}}, false},
        {"only for what is made inside", kAdmins, true, {{kAllow, kInheritOnly, 0x1F01FF, kUsers}}, true},
        {"a deny is not weighed", kAdmins, true, {{kDeny, 0, 0x1F01FF, kUsers}, {kAllow, 0, 0x116, kUsers}}, false},
        {"a deny alone grants nothing", kAdmins, true, {{kDeny, 0, 0x1F01FF, kUsers}}, true},
        {"a callback allow counts", kAdmins, true, {{0x9, 0, 0x100, kUsers}}, false},
        {"an unreadable trustee counts", kAdmins, true, {{kAllow, 0, 0x100, u""}}, false},
    };
    for (const Case& c : cases) {
        platform::EntrySecurity security{c.owner, c.hasList, c.list};
        EXPECT_EQ(JudgeLink(security).verdict == LinkVerdict::Trusted, c.trusted) << c.name;
    }
}

// The folders from the link's root down to the one holding it: nobody else may empty any of
// them of the link (FILE_DELETE_CHILD), move any but the root with the link inside (DELETE),
// change a list or owner (WRITE_DAC, WRITE_OWNER, GENERIC_ALL, or owning it).
TEST(JudgePlacement, NobodyElseMayMoveTheLinkOrAFolderAboveIt) {
    const AccessEntry adminsFull{kAllow, 0, 0x1F01FF, kAdmins};
    const platform::EntrySecurity guarded{kAdmins, true, {adminsFull, {kAllow, 0, 0x1200A9, kUsers}}};
    // C:\ProgramData: users add files and folders and write attributes, never delete.
    const platform::EntrySecurity programData{kSystem, true, {adminsFull, {kAllow, 0, 0x116, kUsers}}};
    const auto with = [&](std::uint32_t mask, std::uint8_t flags = 0) {
        return platform::EntrySecurity{kAdmins, true, {adminsFull, {kAllow, flags, mask, kUsers}}};
    };
    struct Case {
        const char* name;
        std::vector<platform::EntrySecurity> folders;
        bool trusted;
        std::u16string who;
    };
    const Case cases[] = {
        {"the root alone", {guarded}, true, u""},
        {"below C:\\ProgramData", {guarded, programData, guarded}, true, u""},
        {"users may delete what the holding folder holds", {guarded, with(0x40)}, false, kUsers},
        {"users may delete what the root holds", {with(0x40), guarded}, false, kUsers},
        {"users may move a folder above", {guarded, with(0x10000), guarded}, false, kUsers},
        {"users may delete the root itself, which cannot move", {with(0x10000), guarded}, true, u""},
        {"users may change a folder's list", {guarded, with(0x40000)}, false, kUsers},
        {"users have full control", {guarded, with(0x10000000)}, false, kUsers},
        {"only for what is made inside", {guarded, with(0x1F01FF, kInheritOnly)}, true, u""},
        {"a folder a user owns", {guarded, platform::EntrySecurity{kUser, true, {adminsFull}}}, false, kUser},
        {"a folder without a list", {guarded, platform::EntrySecurity{kAdmins, false, {}}}, false, u""},
    };
    for (const Case& c : cases) {
        const LinkJudgement judgement = JudgePlacement(c.folders);
        EXPECT_EQ(judgement.verdict == LinkVerdict::Trusted, c.trusted) << c.name;
        if (!c.trusted) {
            EXPECT_EQ(judgement.verdict, LinkVerdict::OthersMayMove) << c.name;
        }
        EXPECT_EQ(judgement.who, c.who) << c.name;
    }
}

// The reparse buffers links carry, read back; and every way a buffer can fail to hold together.
TEST(ParseLinkTarget, ReadsLinksAndMountPointsAndRefusesAnythingElse) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> data;
        std::optional<LinkTarget> target;
    };
    const std::vector<std::uint8_t> symlink = model::ReparseBuffer(platform::kReparseTagSymlink, u"C:\\x");
    const std::vector<std::uint8_t> relative = model::ReparseBuffer(platform::kReparseTagSymlink, u"..\\x");
    const std::vector<std::uint8_t> mount = model::ReparseBuffer(platform::kReparseTagMountPoint, u"C:\\x");
    std::vector<std::uint8_t> longer = symlink;
    longer[4] = static_cast<std::uint8_t>(longer[4] + 2);   // claims more than there is
    std::vector<std::uint8_t> offsetPast = mount;
    offsetPast[8] = 200;                                    // substitute name beyond the data
    std::vector<std::uint8_t> odd = mount;
    odd[10] = 7;                                            // a length that is no whole unit
    const Case cases[] = {
        {"symbolic link", symlink, LinkTarget{u"\\??\\C:\\x", false}},
        {"relative symbolic link", relative, LinkTarget{u"..\\x", true}},
        {"mount point", mount, LinkTarget{u"\\??\\C:\\x", false}},
        {"another tag", model::ReparseBuffer(0xA0000019u, u"C:\\x"), std::nullopt},
        {"empty", {}, std::nullopt},
        {"header only", {0x0C, 0x00, 0x00, 0xA0, 0x00, 0x00, 0x00, 0x00}, std::nullopt},
        {"cut short", std::vector<std::uint8_t>(symlink.begin(), symlink.end() - 2), std::nullopt},
        {"length beyond the buffer", longer, std::nullopt},
        {"offset beyond the names", offsetPast, std::nullopt},
        {"odd length", odd, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<LinkTarget> target = ParseLinkTarget(c.data);
        ASSERT_EQ(target.has_value(), c.target.has_value()) << c.name;
        if (!target) continue;
        EXPECT_EQ(target->substitute, c.target->substitute) << c.name;
        EXPECT_EQ(target->relative, c.target->relative) << c.name;
    }
}

}  // namespace
}  // namespace report
