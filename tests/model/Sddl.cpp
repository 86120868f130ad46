#include "tests/model/Sddl.h"

#include <array>
#include <utility>

namespace model {
namespace {

std::vector<std::u16string_view> SplitFields(std::u16string_view body) {
    std::vector<std::u16string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t semicolon = body.find(u';', start);
        fields.push_back(body.substr(start, semicolon == std::u16string_view::npos ? body.npos : semicolon - start));
        if (semicolon == std::u16string_view::npos) return fields;
        start = semicolon + 1;
    }
}

std::optional<Ace> ParseAce(std::u16string_view body) {
    const std::vector<std::u16string_view> fields = SplitFields(body);
    if (fields.size() != 6) return std::nullopt;
    Ace ace;
    ace.type = fields[0];
    const std::u16string_view flags = fields[1];
    if (flags.size() % 2 != 0) return std::nullopt;
    for (std::size_t i = 0; i < flags.size(); i += 2) {
        const std::u16string_view flag = flags.substr(i, 2);
        if (flag == u"OI") {
            ace.objectInherit = true;
        } else if (flag == u"CI") {
            ace.containerInherit = true;
        } else if (flag == u"NP") {
            ace.noPropagate = true;
        } else if (flag == u"IO") {
            ace.inheritOnly = true;
        } else if (flag == u"ID") {
            ace.inherited = true;
        } else {
            return std::nullopt;
        }
    }
    ace.rights = fields[2];
    ace.objectType = fields[3];
    ace.inheritedObjectType = fields[4];
    ace.trustee = fields[5];
    return ace;
}

// The file-specific rights each generic right stands for on a file or directory.
constexpr std::array<std::pair<std::u16string_view, std::u16string_view>, 4> kFileMapping = {{
    {u"GA", u"FA"}, {u"GR", u"FR"}, {u"GW", u"FW"}, {u"GX", u"FX"},
}};

bool IsGenericRight(std::u16string_view code) {
    for (const auto& [generic, specific] : kFileMapping) {
        if (code == generic) return true;
    }
    return false;
}

bool IsNumeric(std::u16string_view rights) { return rights.rfind(u"0x", 0) == 0 || rights.rfind(u"0X", 0) == 0; }

bool HasGenericInformation(const Ace& ace) {
    if (ace.trustee == u"CO" || ace.trustee == u"CG") return true;
    if (IsNumeric(ace.rights)) return false;
    for (std::size_t i = 0; i + 1 < ace.rights.size(); i += 2) {
        if (IsGenericRight(std::u16string_view(ace.rights).substr(i, 2))) return true;
    }
    return false;
}

// An inherited entry that takes effect on the child: generic rights and trustees mapped.
Ace Effective(const Ace& parent, const Creator& creator) {
    Ace ace = parent;
    ace.objectInherit = ace.containerInherit = ace.noPropagate = ace.inheritOnly = false;
    ace.inherited = true;
    if (!IsNumeric(ace.rights)) {
        std::u16string mapped;
        for (std::size_t i = 0; i + 1 < ace.rights.size(); i += 2) {
            std::u16string_view code = std::u16string_view(ace.rights).substr(i, 2);
            for (const auto& [generic, specific] : kFileMapping) {
                if (code == generic) code = specific;
            }
            mapped.append(code);
        }
        ace.rights = mapped;
    }
    if (ace.trustee == u"CO") ace.trustee = creator.owner;
    if (ace.trustee == u"CG") ace.trustee = creator.group;
    return ace;
}

// The ACE inheritance rules: OI reaches files and, on a directory, stays only to be passed
// on (inherit-only); CI reaches directories and stays inheritable; NP stops the passing on.
// IO on the parent's entry only keeps it off the parent itself.
void Inherit(const Ace& parent, bool isContainer, const Creator& creator, std::vector<Ace>& out) {
    if (!isContainer) {
        if (parent.objectInherit) out.push_back(Effective(parent, creator));
        return;
    }
    if (parent.containerInherit) {
        if (parent.noPropagate) {
            out.push_back(Effective(parent, creator));
        } else if (HasGenericInformation(parent)) {
            // One entry that applies here, mapped, and one kept generic for the next generation.
            out.push_back(Effective(parent, creator));
            Ace passedOn = parent;
            passedOn.inheritOnly = true;
            passedOn.inherited = true;
            out.push_back(passedOn);
        } else {
            Ace ace = parent;
            ace.inheritOnly = false;
            ace.inherited = true;
            out.push_back(ace);
        }
        return;
    }
    if (parent.objectInherit && !parent.noPropagate) {
        Ace ace = parent;
        ace.inheritOnly = true;
        ace.inherited = true;
        out.push_back(ace);
    }
}

}  // namespace

std::optional<Dacl> ParseDacl(std::u16string_view sddl) {
    if (sddl.rfind(u"D:", 0) != 0) return std::nullopt;
    std::size_t at = 2;
    Dacl dacl;
    while (at < sddl.size() && sddl[at] != u'(') {
        if (sddl.substr(at, 1) == u"P") {
            dacl.isProtected = true;
            at += 1;
        } else if (sddl.substr(at, 2) == u"AI" || sddl.substr(at, 2) == u"AR") {
            at += 2;
        } else {
            return std::nullopt;
        }
    }
    while (at < sddl.size()) {
        if (sddl[at] != u'(') return std::nullopt;
        const std::size_t close = sddl.find(u')', at);
        if (close == std::u16string_view::npos) return std::nullopt;
        const std::optional<Ace> ace = ParseAce(sddl.substr(at + 1, close - at - 1));
        if (!ace) return std::nullopt;
        dacl.aces.push_back(*ace);
        at = close + 1;
    }
    return dacl;
}

std::u16string FormatDacl(const Dacl& dacl) {
    std::u16string text = dacl.isProtected ? u"D:P" : u"D:";
    for (const Ace& ace : dacl.aces) {
        text += u"(" + ace.type + u";";
        if (ace.objectInherit) text += u"OI";
        if (ace.containerInherit) text += u"CI";
        if (ace.noPropagate) text += u"NP";
        if (ace.inheritOnly) text += u"IO";
        if (ace.inherited) text += u"ID";
        text += u";" + ace.rights + u";" + ace.objectType + u";" + ace.inheritedObjectType + u";" + ace.trustee + u")";
    }
    return text;
}

std::optional<std::uint32_t> RightsMask(std::u16string_view rights) {
    if (IsNumeric(rights)) {
        std::uint32_t mask = 0;
        if (rights.size() <= 2 || rights.size() > 10) return std::nullopt;
        for (const char16_t c : rights.substr(2)) {
            std::uint32_t digit = 0;
            if (c >= u'0' && c <= u'9') {
                digit = static_cast<std::uint32_t>(c - u'0');
            } else if (c >= u'a' && c <= u'f') {
                digit = static_cast<std::uint32_t>(c - u'a' + 10);
            } else if (c >= u'A' && c <= u'F') {
                digit = static_cast<std::uint32_t>(c - u'A' + 10);
            } else {
                return std::nullopt;
            }
            mask = mask * 16 + digit;
        }
        return mask;
    }
    static constexpr std::array<std::pair<std::u16string_view, std::uint32_t>, 12> kCodes = {{
        {u"GA", 0x10000000}, {u"GR", 0x80000000}, {u"GW", 0x40000000}, {u"GX", 0x20000000},
        {u"FA", 0x1F01FF},   {u"FR", 0x120089},   {u"FW", 0x120116},   {u"FX", 0x1200A0},
        {u"RC", 0x20000},    {u"SD", 0x10000},    {u"WD", 0x40000},    {u"WO", 0x80000},
    }};
    if (rights.size() % 2 != 0) return std::nullopt;
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < rights.size(); i += 2) {
        const std::u16string_view code = rights.substr(i, 2);
        bool known = false;
        for (const auto& [name, value] : kCodes) {
            if (code == name) {
                mask |= value;
                known = true;
            }
        }
        if (!known) return std::nullopt;
    }
    return mask;
}

std::u16string TrusteeSid(std::u16string_view trustee) {
    static constexpr std::array<std::pair<std::u16string_view, std::u16string_view>, 11> kAliases = {{
        {u"SY", u"S-1-5-18"}, {u"BA", u"S-1-5-32-544"}, {u"BU", u"S-1-5-32-545"}, {u"BG", u"S-1-5-32-546"},
        {u"AU", u"S-1-5-11"}, {u"WD", u"S-1-1-0"},      {u"AN", u"S-1-5-7"},      {u"IU", u"S-1-5-4"},
        {u"CO", u"S-1-3-0"},  {u"CG", u"S-1-3-1"},      {u"OW", u"S-1-3-4"},
    }};
    for (const auto& [alias, sid] : kAliases) {
        if (trustee == alias) return std::u16string(sid);
    }
    return std::u16string(trustee);
}

std::optional<Dacl> DaclForNewObject(const std::optional<Dacl>& given, const std::optional<Dacl>& parent,
                                     bool isContainer, const Creator& creator) {
    Dacl result;
    if (given) result = *given;
    // Inherited entries follow the given ones, as Windows orders them.
    if (!result.isProtected && parent) {
        for (const Ace& ace : parent->aces) Inherit(ace, isContainer, creator, result.aces);
    }
    if (!given && result.aces.empty()) return std::nullopt;
    return result;
}

}  // namespace model
