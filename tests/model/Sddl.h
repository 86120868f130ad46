#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The discretionary list of an SDDL text, as far as the model needs it: to give a created
// file or directory the list Windows would, and to show tests what that list is.
namespace model {

struct Ace {
    std::u16string type;    // "A", "D", ...
    bool objectInherit = false;      // OI
    bool containerInherit = false;   // CI
    bool noPropagate = false;        // NP
    bool inheritOnly = false;        // IO
    bool inherited = false;          // ID
    std::u16string rights;           // "GA", "GRGX", "FA", "0x1200a9", ...
    std::u16string objectType;
    std::u16string inheritedObjectType;
    std::u16string trustee;          // "BA", "CO", "S-1-5-..."
    bool operator==(const Ace&) const = default;
};

struct Dacl {
    bool isProtected = false;   // P: the parent's inheritable entries are not merged in
    std::vector<Ace> aces;
    bool operator==(const Dacl&) const = default;
};

// "D:" then the control flags, then "(...)" entries; nullopt for anything else.
std::optional<Dacl> ParseDacl(std::u16string_view sddl);
// Flags in the order Windows writes them: OI CI NP IO ID.
std::u16string FormatDacl(const Dacl& dacl);

// The access mask an SDDL rights field stands for ("FA", "GRGX", "0x1200a9"); nullopt for a
// code the model does not know.
std::optional<std::uint32_t> RightsMask(std::u16string_view rights);
// The string SID an SDDL trustee stands for: an alias the model knows ("BA", "SY", "BU", ...)
// mapped, a SID string kept as it is.
std::u16string TrusteeSid(std::u16string_view trustee);

// Who a new object's creator is, for the generic trustees CREATOR OWNER and CREATOR GROUP.
struct Creator {
    std::u16string owner = u"SY";
    std::u16string group = u"SY";
};

// The list a new file (`isContainer` false) or directory gets: the given entries and, unless
// the given list is protected, what it inherits from its parent's list under the ACE
// inheritance rules. nullopt when neither gives an entry.
std::optional<Dacl> DaclForNewObject(const std::optional<Dacl>& given, const std::optional<Dacl>& parent,
                                     bool isContainer, const Creator& creator);

}  // namespace model
