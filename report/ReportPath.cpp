#include "report/ReportPath.h"

#include <algorithm>
#include <array>

namespace report {
namespace {

// Without \\?\ a Win32 path holds at most MAX_PATH units with its NUL, and a directory is made
// only while the path leaves room for an 8.3 name after it: the launcher declares no long-path
// awareness, so these are the limits its paths have always had.
constexpr std::size_t kMaxPath = 260;
constexpr std::size_t kMaxDirectoryPath = 248;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }
bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }
char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool EqualsFolded(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
}

bool StartsWithFolded(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && EqualsFolded(text.substr(0, prefix.size()), prefix);
}

// Exactly \\?\ or \??\: handed to the system as it stands, without any normalisation.
bool IsVerbatim(std::u16string_view path) {
    return path.size() >= 4 && path[0] == u'\\' && (path[1] == u'\\' || path[1] == u'?') && path[2] == u'?' &&
           path[3] == u'\\';
}

// Two separators and a dot or question mark, then a separator: a device path that is normalised.
bool IsDevicePath(std::u16string_view path) {
    return path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == u'.' || path[2] == u'?') &&
           IsSeparator(path[3]);
}

bool IsDriveAbsolute(std::u16string_view path) {
    return path.size() >= 3 && IsLetter(path[0]) && path[1] == u':' && IsSeparator(path[2]);
}

// "C:" and what follows it without a separator: the current directory of that drive.
bool IsDriveRelative(std::u16string_view path) {
    return path.size() >= 2 && IsLetter(path[0]) && path[1] == u':' && !IsDriveAbsolute(path);
}

struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The next run of non-separators at or after `at`, separator runs skipped; only backslashes
// separate when `backslashOnly`. An empty span at the end of the text when none is left.
Span NextName(std::u16string_view text, std::size_t at, bool backslashOnly) {
    const auto separates = [backslashOnly](char16_t c) { return backslashOnly ? c == u'\\' : IsSeparator(c); };
    while (at < text.size() && separates(text[at])) ++at;
    std::size_t end = at;
    while (end < text.size() && !separates(text[end])) ++end;
    return {at, end};
}

// The NT root of a share, from where its server and share names stand in `path`.
std::u16string UncRoot(std::u16string_view path, Span server, Span share) {
    return u"\\??\\UNC\\" + std::u16string(path.substr(server.begin, server.end - server.begin)) + u"\\" +
           std::u16string(path.substr(share.begin, share.end - share.begin)) + u"\\";
}

// The root of a fully qualified path, and where its names begin.
struct Qualified {
    std::u16string root;           // NT form, ending in a backslash
    std::size_t win32RootLength;   // what the root takes of a Win32 path, for MAX_PATH
    std::size_t rest;
    bool verbatim;
};

// The part of a device path after its prefix that names the volume: "C:", "UNC\server\share",
// "Volume{...}". Only backslashes separate in a verbatim path.
std::optional<Qualified> DeviceRoot(std::u16string_view path, std::size_t from, bool verbatim) {
    const Span device = NextName(path, from, verbatim);
    if (device.begin != from) return std::nullopt;   // a separator run right after the prefix
    const std::u16string_view name = path.substr(device.begin, device.end - device.begin);
    Qualified q{{}, 0, device.end, verbatim};
    if (name.size() == 2 && IsLetter(name[0]) && name[1] == u':') {
        q.root = u"\\??\\" + std::u16string(1, Upper(name[0])) + u":\\";
    } else if (EqualsFolded(name, u"UNC")) {
        const Span server = NextName(path, device.end, verbatim);
        const Span share = NextName(path, server.end, verbatim);
        if (server.begin != device.end + 1 || share.begin != server.end + 1 || server.begin == server.end ||
            share.begin == share.end) {
            return std::nullopt;
        }
        q.root = UncRoot(path, server, share);
        q.rest = share.end;
    } else if (StartsWithFolded(name, u"Volume{") && name.back() == u'}') {
        q.root = u"\\??\\" + std::u16string(name) + u"\\";
    } else {
        return std::nullopt;   // a pipe, a physical drive, or any other device is no folder
    }
    // The volume alone, without a separator after it, is the device itself.
    if (q.rest >= path.size() || !(verbatim ? path[q.rest] == u'\\' : IsSeparator(path[q.rest]))) return std::nullopt;
    q.win32RootLength = q.rest + 1;
    return q;
}

std::optional<Qualified> ParseQualified(std::u16string_view path) {
    if (IsVerbatim(path)) return DeviceRoot(path, 4, true);
    if (IsDevicePath(path)) return DeviceRoot(path, 4, false);
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        const Span server = NextName(path, 2, false);
        const Span share = NextName(path, server.end, false);
        if (server.begin == server.end || share.begin == share.end) return std::nullopt;
        const std::size_t length = 2 + (server.end - server.begin) + 1 + (share.end - share.begin) + 1;
        return Qualified{UncRoot(path, server, share), length, share.end, false};
    }
    if (IsDriveAbsolute(path)) return Qualified{u"\\??\\" + std::u16string(1, Upper(path[0])) + u":\\", 3, 2, false};
    return std::nullopt;
}

// Two separators, then one name and nothing after it but separators: "\\server".
bool IsServerAlone(std::u16string_view text) {
    if (text.size() < 3 || !IsSeparator(text[0]) || !IsSeparator(text[1]) || IsVerbatim(text) || IsDevicePath(text)) {
        return false;
    }
    const Span server = NextName(text, 2, false);
    return server.begin != server.end && NextName(text, server.end, false).begin == text.size();
}

// A name of the normalised walk as Windows trims it: the last name of a path loses every
// trailing period and space, any other name one trailing period (never the second of two).
std::u16string Trimmed(std::u16string_view name, bool last) {
    std::size_t size = name.size();
    if (last) {
        while (size > 0 && (name[size - 1] == u'.' || name[size - 1] == u' ')) --size;
    } else if (size >= 2 && name[size - 1] == u'.' && name[size - 2] != u'.') {
        --size;
    }
    return std::u16string(name.substr(0, size));
}

// Where the directory part ends, and how many levels at the bottom of the stack come from a
// base directory: those are never made.
struct Parts {
    std::size_t directoryEnd = 0;
    std::size_t fixed = 0;
};

// The folders the report has always made are the backslash-separated parts of its directory
// part, each resolved whole by the system, slashes, dots and all: so the level a part leaves
// on top is made when missing. `end` is where a name, "." or ".." of the text ends.
void MarkPartEnd(std::u16string_view text, std::size_t end, const Parts& parts, std::vector<PathLevel>& levels) {
    if (end > parts.directoryEnd || levels.size() <= parts.fixed) return;
    bool endsPart = false;
    for (std::size_t at = end; at < text.size() && IsSeparator(text[at]); ++at) {
        if (text[at] == u'\\' || at == parts.directoryEnd) endsPart = true;
    }
    if (end == parts.directoryEnd || endsPart) levels.back().creatable = true;
}

// Applies the names of `text` from `from` on to `levels`: "." stays, ".." goes up but never
// past the root, and in a verbatim path every name is taken as it stands (so an empty one, a
// dot, or one holding a slash is refused, as the system would). False when the text holds
// something the walk cannot take.
bool ApplyNames(std::u16string_view text, std::size_t from, bool verbatim, Parts& parts,
                std::vector<PathLevel>& levels) {
    const auto push = [&](std::u16string name, std::size_t end) {
        levels.push_back(PathLevel{std::move(name), false, end <= parts.directoryEnd});
        MarkPartEnd(text, end, parts, levels);
    };
    std::size_t at = from;
    if (verbatim) {
        if (at < text.size()) {
            if (text[at] != u'\\') return false;
            ++at;
        }
        while (at < text.size()) {
            std::size_t end = text.find(u'\\', at);
            if (end == std::u16string_view::npos) end = text.size();
            const std::u16string_view name = text.substr(at, end - at);
            if (name.empty() || name == u"." || name == u".." || name.find(u'/') != std::u16string_view::npos) {
                return false;
            }
            push(std::u16string(name), end);
            at = end + 1;
        }
        return true;
    }
    for (;;) {
        const Span span = NextName(text, at, false);
        if (span.begin == span.end) return true;
        const std::u16string_view name = text.substr(span.begin, span.end - span.begin);
        at = span.end;
        if (name == u"." || name == u"..") {
            if (name == u".." && !levels.empty()) levels.pop_back();
            parts.fixed = std::min(parts.fixed, levels.size());
            MarkPartEnd(text, span.end, parts, levels);
            continue;
        }
        std::u16string trimmed = Trimmed(name, span.end == text.size());
        if (trimmed.empty()) return false;
        push(std::move(trimmed), span.end);
    }
}

// The directory levels a base directory stands for, none of which is ever made.
bool AddBase(std::u16string_view base, const Qualified& qualified, bool namesToo, std::vector<PathLevel>& levels) {
    if (!namesToo) return true;
    Parts parts{base.size(), 0};
    if (!ApplyNames(base, qualified.rest, qualified.verbatim, parts, levels)) return false;
    for (PathLevel& level : levels) level.creatable = false;
    return true;
}

}  // namespace

std::u16string AsWideCString(std::u16string path) {
    const std::size_t end = path.find(u'\0');
    if (end != std::u16string::npos) path.resize(end);
    return path;
}

std::u16string AnchorBareFileName(std::u16string path) {
    if (path.find_first_of(u"\\/") == std::u16string::npos && !IsDriveRelative(path)) path.insert(0, u"./");
    return path;
}

std::optional<std::size_t> DirectoryEnd(std::u16string_view path) {
    const std::size_t at = path.find_last_of(u"\\/");
    if (at != std::u16string_view::npos) return at;
    if (IsDriveRelative(path)) return 2;
    return std::nullopt;
}

Base BaseOf(std::u16string_view path) {
    if (IsVerbatim(path) || (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]))) return {};
    if (path.size() >= 2 && IsLetter(path[0]) && path[1] == u':') {
        if (path.size() >= 3 && IsSeparator(path[2])) return {};
        return {BaseKind::DriveDirectory, Upper(path[0])};
    }
    return {BaseKind::CurrentDirectory, 0};
}

bool IsDeviceName(std::u16string_view name) {
    // The name before any extension or stream, trailing blanks ignored, decides.
    std::size_t end = name.find_first_of(u".:");
    if (end == std::u16string_view::npos) end = name.size();
    while (end > 0 && name[end - 1] == u' ') --end;
    const std::u16string_view stem = name.substr(0, end);
    static constexpr std::array<std::u16string_view, 6> kNames = {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$",
                                                                  u"CONOUT$"};
    if (std::any_of(kNames.begin(), kNames.end(), [stem](std::u16string_view device) { return EqualsFolded(stem, device); })) {
        return true;
    }
    if (stem.size() != 4 || !(StartsWithFolded(stem, u"COM") || StartsWithFolded(stem, u"LPT"))) return false;
    // COM0 to COM9, and the superscript digits one to three that Windows also takes.
    const char16_t digit = stem[3];
    return (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' || digit == u'\u00B3';
}

// The path and the directory it is resolved against, in the order they are read.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::optional<ReportPlan> PlanReportPath(std::u16string_view path, std::u16string_view base) {
    // Both separators split alike, so the file part is one name, or "." or "..", which name no
    // file. An empty directory part ("\\status.txt") names no drive and has always been refused.
    const std::optional<std::size_t> split = DirectoryEnd(path);
    if (!split || *split == 0 || IsSeparator(path.back())) return std::nullopt;

    // A directory part that names a server without a share has never been taken, even where
    // the file part after it would complete the share.
    if (IsServerAlone(path.substr(0, *split))) return std::nullopt;

    const Base baseKind = BaseOf(path);
    std::optional<Qualified> qualified;
    std::vector<PathLevel> levels;
    std::size_t from = 0;
    if (baseKind.kind == BaseKind::None) {
        qualified = ParseQualified(path);
        if (!qualified) return std::nullopt;
        from = qualified->rest;
    } else {
        qualified = ParseQualified(base);
        if (!qualified) return std::nullopt;
        // A rooted path takes only the current directory's root; "X:name" starts after "X:".
        const bool rooted = IsSeparator(path[0]);
        if (!AddBase(base, *qualified, !rooted, levels)) return std::nullopt;
        from = baseKind.kind == BaseKind::DriveDirectory ? 2 : 0;
    }
    const bool verbatim = baseKind.kind == BaseKind::None && qualified->verbatim;
    Parts parts{*split, levels.size()};
    const bool applied = ApplyNames(path, from, verbatim, parts, levels);
    // The file is the last name standing, and it must come from the file part.
    if (!applied || levels.empty() || levels.back().inDirectoryPart) return std::nullopt;

    ReportPlan plan;
    plan.root = qualified->root;
    plan.file = std::move(levels.back().name);
    levels.pop_back();
    plan.levels = std::move(levels);

    // A colon names a stream of the entry before it, never a file of its own.
    if (IsDeviceName(plan.file) || plan.file.find(u':') != std::u16string::npos) return std::nullopt;
    std::size_t length = qualified->win32RootLength;
    for (PathLevel& level : plan.levels) {
        // A stream is no folder, and a device name names the device wherever it stands.
        if (level.name.find(u':') != std::u16string::npos || IsDeviceName(level.name)) return std::nullopt;
        length += level.name.size();
        if (!verbatim && length >= kMaxDirectoryPath) level.creatable = false;
        ++length;
    }
    if (!verbatim && length + plan.file.size() >= kMaxPath) return std::nullopt;
    return plan;
}

std::u16string RootDeviceName(std::u16string_view root) {
    constexpr std::u16string_view kPrefix = u"\\??\\";
    if (root.size() <= kPrefix.size() + 1 || root.substr(0, kPrefix.size()) != kPrefix || root.back() != u'\\' ||
        StartsWithFolded(root.substr(kPrefix.size()), u"UNC\\")) {
        return {};
    }
    return std::u16string(root.substr(kPrefix.size(), root.size() - kPrefix.size() - 1));
}

bool NamesADeviceAlone(std::u16string_view link) {
    constexpr std::u16string_view kDevices = u"\\Device\\";
    if (!StartsWithFolded(link, kDevices)) return false;
    const std::u16string_view name = link.substr(kDevices.size());
    return !name.empty() && name.find_first_of(u"\\/") == std::u16string_view::npos;
}

}  // namespace report
