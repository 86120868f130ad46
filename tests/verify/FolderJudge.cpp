#include "FolderJudge.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

namespace verify {
namespace {

constexpr std::uint32_t kAddFile = 0x2;        // a file's write-data right
constexpr std::uint32_t kAddFolder = 0x4;      // a file's append right
constexpr std::uint32_t kWriteEa = 0x10;
constexpr std::uint32_t kDeleteChild = 0x40;
constexpr std::uint32_t kWriteAttributes = 0x100;
constexpr std::uint32_t kDelete = 0x10000;
constexpr std::uint32_t kWriteDac = 0x40000;
constexpr std::uint32_t kWriteOwner = 0x80000;
// What changes the way down: the level itself going, the level below going, a new list.
constexpr std::uint32_t kAboveRights = kDelete | kWriteDac | kWriteOwner | kDeleteChild;
// What changes a folder's contents too. Setting a reparse point takes write-data or
// write-attributes, so both count.
constexpr std::uint32_t kOwnRights = kAboveRights | kAddFile | kAddFolder | kWriteEa | kWriteAttributes;
// What changes a file: its data (write, append), its attributes, its name, its list or owner.
constexpr std::uint32_t kFileRights = kOwnRights & ~kDeleteChild;

constexpr std::array<std::wstring_view, 3> kTrusted = {
    L"S-1-5-18",       // the local system account
    L"S-1-5-32-544",   // Administrators
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",   // TrustedInstaller
};
// CREATOR OWNER stands for whoever makes an entry inside, OWNER RIGHTS for the owner: neither is
// anyone by itself, and the owner is judged on its own.
constexpr std::array<std::wstring_view, 2> kStandIns = {L"S-1-3-0", L"S-1-3-4"};

using RightWords = std::array<std::pair<std::uint32_t, std::wstring_view>, 7>;
constexpr RightWords kRightWords = {{
    {kDelete, L"delete or rename it"},
    {kWriteDac, L"rewrite its list"},
    {kWriteOwner, L"take it over"},
    {kDeleteChild, L"delete what it holds"},
    {kAddFile, L"add files"},
    {kAddFolder, L"add folders"},
    {kWriteEa | kWriteAttributes, L"change its attributes"},
}};
// The same bits as a file's rights.
constexpr RightWords kFileRightWords = {{
    {kDelete, L"delete or rename it"},
    {kWriteDac, L"rewrite its list"},
    {kWriteOwner, L"take it over"},
    {kDeleteChild, L"delete what it holds"},
    {kAddFile, L"write to it"},
    {kAddFolder, L"append to it"},
    {kWriteEa | kWriteAttributes, L"change its attributes"},
}};

bool Listed(std::wstring_view sid, const auto& sids) { return std::find(sids.begin(), sids.end(), sid) != sids.end(); }

std::wstring Words(std::uint32_t rights, const RightWords& words = kRightWords) {
    std::wstring text;
    for (const auto& [bits, word] : words) {
        if ((rights & bits) != 0) text += (text.empty() ? L"" : L", ") + std::wstring(word);
    }
    return text + L" (" + Hex(rights) + L")";
}

}  // namespace

std::wstring WhoElseMayChange(const AccessList& list, FolderRole role, std::wstring* who) {
    if (list.owner.empty()) return L"its owner cannot be read";
    if (!Listed(list.owner, kTrusted)) {
        if (who != nullptr) *who = list.owner;
        return L"its owner " + list.owner + L" may rewrite its list";
    }
    if (!list.present) return L"it has no DACL: everyone may change it";
    if (role == FolderRole::Scratch && !list.isProtected) {
        return L"its list is not protected: what the folder above passes on is merged into what is made inside";
    }
    const std::uint32_t rights = role == FolderRole::Above ? kAboveRights : role == FolderRole::File ? kFileRights : kOwnRights;
    const RightWords& words = role == FolderRole::File ? kFileRightWords : kRightWords;
    for (std::size_t i = 0; i < list.entries.size(); ++i) {
        const AceEntry& e = list.entries[i];
        // A deny entry can only take rights away; leaving it out can only make the judge stricter.
        if (e.type == AceType::Deny) continue;
        if (e.type == AceType::Other) return L"entry " + std::to_wstring(i) + L" is of a kind this program does not judge";
        if (Listed(e.sid, kTrusted) || Listed(e.sid, kStandIns)) continue;
        const std::uint32_t mapped = MapGeneric(e.mask);
        if (!e.inheritOnly && (mapped & rights) != 0) {
            if (who != nullptr) *who = e.sid;
            return e.sid + L" may " + Words(mapped & rights, words);
        }
        // Only the scratch folder's list decides what is made inside it: the program makes
        // nothing in its own folder but the scratch folder, and that one with a list of its own.
        if (role == FolderRole::Scratch && (e.objectInherit || e.containerInherit) && (mapped & rights) != 0) {
            if (who != nullptr) *who = e.sid;
            return e.sid + L" may change what is made inside: " + Words(mapped & rights);
        }
    }
    return {};
}

std::wstring MendCommands(const std::wstring& level) {
    const std::wstring quoted = L"\"" + level + L"\"";
    // By SID, as the accounts' names differ with the machine's language. The level's own list is
    // set outright and what is inside inherits it, so no entry the folder above passes on (such
    // as CREATOR OWNER's) is left to map to anyone.
    return L"icacls " + quoted + L" /setowner \"*S-1-5-32-544\" /t /c, then icacls " + quoted +
           L" /inheritance:r /grant:r \"*S-1-5-18:(OI)(CI)F\" \"*S-1-5-32-544:(OI)(CI)F\", then icacls \"" + level +
           L"\\*\" /reset /t /c";
}

}  // namespace verify
