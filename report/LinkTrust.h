#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/Platform.h"
#include "report/ReportPath.h"

// Whether a link on the report path may be followed, and where it leads. Any user can make a
// junction, and any user may change a link whose access list lets them write it, so a link is
// followed only when the system or an administrator owns it and nobody else may change it.
// Pure functions over what the platform read through the link's handle.
namespace report {

// The local system account, the Administrators group, and TrustedInstaller.
bool IsTrustedPrincipal(std::u16string_view sid);

// Trusted when a trusted principal owns the link and its access list lets nobody else write its
// data or attributes (either is enough to point a link somewhere else), change its list, or take
// it; otherwise the reason, and who made the link untrustworthy, as a view into `security`.
enum class LinkVerdict : std::uint8_t { Trusted, OwnerNotTrusted, NoAccessList, OthersMayChange };
struct LinkJudgement {
    LinkVerdict verdict = LinkVerdict::Trusted;
    std::u16string_view who;   // the owner, or the principal an entry lets change the link
};
LinkJudgement JudgeLink(const platform::EntrySecurity& security);

// The target of a symbolic link or mount point from its reparse data (REPARSE_DATA_BUFFER),
// every offset and length checked against the bytes there are. nullopt for any other tag or a
// buffer that does not hold together.
std::optional<LinkTarget> ParseLinkTarget(std::span<const std::uint8_t> data);

}  // namespace report
