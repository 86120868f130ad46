#include "report/LinkTrust.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>

namespace report {
namespace {

constexpr std::array<std::u16string_view, 3> kTrustedPrincipals = {
    u"S-1-5-18",       // the local system account
    u"S-1-5-32-544",   // BUILTIN\Administrators
    u"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",   // NT SERVICE\TrustedInstaller
};
// The owner itself, whom an entry for OWNER RIGHTS stands for.
constexpr std::u16string_view kOwnerRights = u"S-1-3-4";

constexpr std::uint8_t kAccessAllowedAce = 0x0;
constexpr std::uint8_t kAccessAllowedObjectAce = 0x5;
constexpr std::uint8_t kAccessAllowedCallbackAce = 0x9;
constexpr std::uint8_t kAccessAllowedCallbackObjectAce = 0xB;
constexpr std::uint8_t kInheritOnlyAce = 0x08;

// What lets a holder point a link elsewhere (FSCTL_SET_REPARSE_POINT needs FILE_WRITE_DATA or
// FILE_WRITE_ATTRIBUTES), delete or rename it, or give itself any of that or the link itself.
constexpr std::uint32_t kFileWriteData = 0x2;
constexpr std::uint32_t kFileWriteAttributes = 0x100;
constexpr std::uint32_t kWriteDac = 0x40000;
constexpr std::uint32_t kWriteOwner = 0x80000;
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kTakingRights = kWriteDac | kWriteOwner | kGenericAll;
constexpr std::uint32_t kChangingRights =
    kFileWriteData | kFileWriteAttributes | kGenericWrite | platform::kAccessDelete | kTakingRights;
// What lets a holder move what a folder holds, or the folder itself.
constexpr std::uint32_t kEmptyingRights = platform::kAccessDeleteChild | kTakingRights;
constexpr std::uint32_t kMovingRights = kEmptyingRights | platform::kAccessDelete;

constexpr std::uint32_t kReparseHeader = 8;       // tag, data length, reserved
constexpr std::uint32_t kNameFields = 8;          // substitute and print name: offset, length each
constexpr std::uint32_t kSymlinkFlagsSize = 4;
constexpr std::uint32_t kSymlinkFlagRelative = 0x1;
constexpr unsigned kByteBits = 8;
constexpr unsigned kHalfBits = 16;

bool IsAllow(std::uint8_t type) {
    return type == kAccessAllowedAce || type == kAccessAllowedObjectAce || type == kAccessAllowedCallbackAce ||
           type == kAccessAllowedCallbackObjectAce;
}

std::uint32_t Read16(std::span<const std::uint8_t> data, std::size_t at) {
    return static_cast<std::uint32_t>(data[at]) | (static_cast<std::uint32_t>(data[at + 1]) << kByteBits);
}

std::uint32_t Read32(std::span<const std::uint8_t> data, std::size_t at) {
    return Read16(data, at) | (Read16(data, at + 2) << kHalfBits);
}

}  // namespace

bool IsTrustedPrincipal(std::u16string_view sid) {
    return std::any_of(kTrustedPrincipals.begin(), kTrustedPrincipals.end(),
                       [sid](std::u16string_view trusted) { return sid == trusted; });
}

namespace {

// The first principal but the trusted ones (and the owner, itself trusted) that an entry of the
// list grants any of `rights` on the entry itself; empty when none. Deny entries are not weighed:
// an allow that a deny might cancel counts all the same.
std::optional<std::u16string_view> Grantee(const platform::EntrySecurity& security, std::uint32_t rights) {
    for (const platform::AccessEntry& entry : security.list) {
        if (!IsAllow(entry.type) || (entry.flags & kInheritOnlyAce) != 0) continue;
        if ((entry.mask & rights) == 0) continue;
        if (!IsTrustedPrincipal(entry.trustee) && entry.trustee != kOwnerRights) return entry.trustee;
    }
    return std::nullopt;
}

}  // namespace

LinkJudgement JudgeLink(const platform::EntrySecurity& security) {
    if (!IsTrustedPrincipal(security.owner)) return {LinkVerdict::OwnerNotTrusted, security.owner};
    if (!security.hasList) return {LinkVerdict::NoAccessList, {}};
    if (const std::optional<std::u16string_view> who = Grantee(security, kChangingRights)) {
        return {LinkVerdict::OthersMayChange, *who};
    }
    return {};
}

LinkJudgement JudgePlacement(std::span<const platform::EntrySecurity> folders) {
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const platform::EntrySecurity& folder = folders[i];
        // An owner may always change the list, so an untrusted one may grant itself anything.
        if (!IsTrustedPrincipal(folder.owner)) return {LinkVerdict::OthersMayMove, folder.owner};
        if (!folder.hasList) return {LinkVerdict::OthersMayMove, {}};
        if (const std::optional<std::u16string_view> who = Grantee(folder, i == 0 ? kEmptyingRights : kMovingRights)) {
            return {LinkVerdict::OthersMayMove, *who};
        }
    }
    return {};
}

std::optional<LinkTarget> ParseLinkTarget(std::span<const std::uint8_t> data) {
    if (data.size() < kReparseHeader) return std::nullopt;
    const std::uint32_t tag = Read32(data, 0);
    const std::uint32_t length = Read16(data, 4);
    if (kReparseHeader + length > data.size()) return std::nullopt;
    const std::span<const std::uint8_t> body = data.subspan(kReparseHeader, length);

    std::uint32_t fields = kNameFields;
    if (tag == platform::kReparseTagSymlink) {
        fields += kSymlinkFlagsSize;
    } else if (tag != platform::kReparseTagMountPoint) {
        return std::nullopt;
    }
    if (body.size() < fields) return std::nullopt;
    const std::uint32_t offset = Read16(body, 0);
    const std::uint32_t size = Read16(body, 2);
    const std::span<const std::uint8_t> names = body.subspan(fields);
    if (offset % 2 != 0 || size % 2 != 0 || offset + size > names.size()) return std::nullopt;

    LinkTarget target;
    target.relative = tag == platform::kReparseTagSymlink && (Read32(body, kNameFields) & kSymlinkFlagRelative) != 0;
    for (std::uint32_t at = offset; at < offset + size; at += 2) {
        target.substitute.push_back(static_cast<char16_t>(Read16(names, at)));
    }
    return target;
}

}  // namespace report
