#include "AclJudge.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace verify {
namespace {

constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericExecute = 0x20000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kGenericRead = 0x80000000;
constexpr std::uint32_t kGenericBits = kGenericAll | kGenericExecute | kGenericWrite | kGenericRead;
// The file system's mapping of the generic rights.
constexpr std::uint32_t kFileGenericRead = 0x120089;
constexpr std::uint32_t kFileGenericWrite = 0x120116;
constexpr std::uint32_t kFileGenericExecute = 0x1200A0;
constexpr std::uint32_t kFileAllAccess = 0x1F01FF;

struct Expected {
    const wchar_t* sid;
    const wchar_t* name;
    AceType type;
    std::uint32_t rights;
};
// D:P(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGX;;;AU)(A;OICI;GA;;;BA), generic rights mapped.
constexpr std::array<Expected, 4> kReportEntries{{
    {L"S-1-5-32-546", L"BG", AceType::Deny, kFileAllAccess},
    {L"S-1-5-7", L"AN", AceType::Deny, kFileAllAccess},
    {L"S-1-5-11", L"AU", AceType::Allow, kFileGenericRead | kFileGenericExecute},
    {L"S-1-5-32-544", L"BA", AceType::Allow, kFileAllAccess},
}};
using Rights = std::array<std::uint32_t, kReportEntries.size()>;

// Windows stops at the first entry that decides, so in each set of entries read in order (those
// that apply to the entry itself, and those passed on to what is made inside) a deny after an
// allow may never be reached.
class OrderCheck {
public:
    explicit OrderCheck(const wchar_t* scope) : scope_(scope) {}
    std::wstring Next(const AceEntry& e, const wchar_t* name) {
        if (e.type == AceType::Allow) allowSeen_ = true;
        else if (allowSeen_) return std::wstring(L"the deny entry for ") + name + L" follows an allow entry among " + scope_;
        return {};
    }

private:
    const wchar_t* scope_;
    bool allowSeen_ = false;
};

std::wstring Compare(const Rights& got, const wchar_t* scope) {
    for (std::size_t k = 0; k < kReportEntries.size(); ++k) {
        const Expected& expected = kReportEntries.at(k);
        if (got.at(k) != expected.rights) {
            return std::wstring(expected.name) + L" has " + Hex(got.at(k)) + L" " + scope + L", expected " +
                   Hex(expected.rights);
        }
    }
    return {};
}

}  // namespace

std::wstring Hex(std::uint32_t mask) {
    constexpr std::wstring_view kDigits = L"0123456789ABCDEF";
    constexpr unsigned kDigitCount = 8;
    std::wstring text = L"0x";
    for (unsigned shift = 4 * kDigitCount; shift > 0; shift -= 4) text += kDigits.at((mask >> (shift - 4)) & 0xFU);
    return text;
}

std::uint32_t MapGeneric(std::uint32_t mask) {
    std::uint32_t mapped = mask & ~kGenericBits;
    if ((mask & kGenericRead) != 0) mapped |= kFileGenericRead;
    if ((mask & kGenericWrite) != 0) mapped |= kFileGenericWrite;
    if ((mask & kGenericExecute) != 0) mapped |= kFileGenericExecute;
    if ((mask & kGenericAll) != 0) mapped |= kFileAllAccess;
    return mapped;
}

std::wstring JudgeReportList(const AccessList& list, bool directory, const std::wstring& owner) {
    if (!list.present) return L"no DACL: everyone has full access";
    if (!list.isProtected) return L"the list is not protected";
    Rights self{}, files{}, folders{};
    OrderCheck applied(L"those that apply to the entry itself");
    OrderCheck passedOn(L"those passed on to what is made inside");
    for (std::size_t i = 0; i < list.entries.size(); ++i) {
        const AceEntry& e = list.entries[i];
        if (e.type == AceType::Other) return L"entry " + std::to_wstring(i) + L" is neither allow nor deny";
        if (e.inherited) return L"an entry for " + e.sid + L" was inherited from the folder above";
        if (e.noPropagate) return L"an entry for " + e.sid + L" stops at the next level";
        const auto found = std::find_if(kReportEntries.begin(), kReportEntries.end(),
                                        [&e](const Expected& x) { return x.type == e.type && e.sid == x.sid; });
        if (found == kReportEntries.end()) {
            return std::wstring(e.type == AceType::Deny ? L"a deny" : L"an allow") + L" entry for " + e.sid +
                   L" is not one of the four";
        }
        const auto who = static_cast<std::size_t>(found - kReportEntries.begin());
        const wchar_t* name = found->name;
        std::wstring problem;
        if (!e.inheritOnly) {
            problem = applied.Next(e, name);
            // Access checks read the mask as it stands: a generic right left in an entry that
            // applies to the entry itself matches no request, so the entry grants or denies nothing.
            if (problem.empty() && (e.mask & kGenericBits) != 0) {
                problem = std::wstring(L"the entry for ") + name + L" that applies to the entry itself holds generic "
                          L"rights (" + Hex(e.mask) + L"), which no access check maps";
            }
            self.at(who) |= e.mask;
        }
        if (problem.empty() && directory && (e.objectInherit || e.containerInherit)) problem = passedOn.Next(e, name);
        if (!problem.empty()) return problem;
        // What is made inside gets the generic rights mapped as it inherits them.
        if (e.objectInherit) files.at(who) |= MapGeneric(e.mask);
        if (e.containerInherit) folders.at(who) |= MapGeneric(e.mask);
    }
    std::wstring problem = Compare(self, L"on the entry itself");
    // A file has nothing to pass its inheritable entries on to.
    if (problem.empty() && directory) problem = Compare(files, L"for files made inside");
    if (problem.empty() && directory) problem = Compare(folders, L"for folders made inside");
    // The owner may always rewrite the list: an entry someone else made in advance, with the
    // right list, is still theirs.
    if (problem.empty() && list.owner != owner) {
        problem = L"owned by " + (list.owner.empty() ? std::wstring(L"(unread)") : list.owner) +
                  L", not by the account the launcher ran as (" + owner + L")";
    }
    return problem;
}

}  // namespace verify
