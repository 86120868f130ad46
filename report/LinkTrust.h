#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/Platform.h"
#include "report/ReportPath.h"

// Whether a link on the report path may be followed, and where it leads. Any user can make a
// junction, an owner can be changed (an administrator's takeown gives a user's junction the
// Administrators owner), and a link that someone may move can be moved onto a path: so a link is
// followed only when the system, Administrators or TrustedInstaller own it and nobody else may
// change it, delete it, rename it or move it. Pure functions over what the platform read through
// the walk's handles.
namespace report {

// The local system account, the Administrators group, and TrustedInstaller.
bool IsTrustedPrincipal(std::u16string_view sid);

// Trusted when a trusted principal owns the link and its access list lets nobody else write its
// data or attributes (either is enough to point a link somewhere else, MS-FSA 2.1.5.10.37),
// delete or rename it (DELETE), change its list, or take it; otherwise the reason, and who made
// the link untrustworthy, as a view into `security`.
enum class LinkVerdict : std::uint8_t { Trusted, OwnerNotTrusted, NoAccessList, OthersMayChange, OthersMayMove };
struct LinkJudgement {
    LinkVerdict verdict = LinkVerdict::Trusted;
    std::u16string_view who;   // the owner, or the principal an entry lets change or move the link
};
LinkJudgement JudgeLink(const platform::EntrySecurity& security);

// Where a link stands: the folders from the root of its volume down to the one holding it, root
// first. A rename or delete is granted by DELETE on the entry or FILE_DELETE_CHILD on its parent
// (MS-FSA 2.1.5.1.2.1), and moving a folder moves the link inside it: so nobody else may hold
// delete-child on any of these folders, DELETE on any of them but the root (which cannot be
// moved), own one, or change a list or owner of one. OthersMayMove and who otherwise.
LinkJudgement JudgePlacement(std::span<const platform::EntrySecurity> folders);

// The target of a symbolic link or mount point from its reparse data (REPARSE_DATA_BUFFER),
// every offset and length checked against the bytes there are. nullopt for any other tag or a
// buffer that does not hold together.
std::optional<LinkTarget> ParseLinkTarget(std::span<const std::uint8_t> data);

}  // namespace report
