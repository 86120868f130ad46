#include "report/ReportReplace.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "platform/Owners.h"
#include "platform/Tracing.h"

namespace report {
namespace {

constexpr std::uint64_t kKeywords = platform::kTraceReportPath;

// Names as NTFS compares them by default, for the ASCII temporary names: case aside.
bool SameName(std::u16string_view a, std::u16string_view b) {
    const auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) {
               return fold(x) == fold(y);
           });
}

bool NameTaken(std::uint32_t error) {
    return error == platform::kErrorAlreadyExists || error == platform::kErrorFileExists;
}

// One replacement of the report `name` in the folder the walk holds.
class Replacement {
public:
    Replacement(platform::Platform& os, PathWalk& walk, const std::u16string& name,
                const platform::SecurityAttributes& security)
        : os_(os), walk_(walk), name_(name), security_(security), file_(os, platform::kNoFile) {}

    bool Run(std::string_view bytes);

private:
    enum class Found : std::uint8_t { Nothing, Report, Refused };

    Found LookAtName();
    bool MakeTemporary();
    bool Abandon(std::string_view reason, std::u16string_view at);
    platform::TraceField Level(std::u16string_view name) const {
        return platform::TracePath("Level", walk_.Here().root, walk_.Here().names, name);
    }

    platform::Platform& os_;
    PathWalk& walk_;
    const std::u16string& name_;
    const platform::SecurityAttributes& security_;
    std::u16string temporary_;
    platform::UniqueFile file_;
    // The earlier report's list, which the new one takes over.
    std::optional<platform::UniqueDescriptor> list_;
};

// Looked at as itself, never through a link at the name, and only for its attributes and list.
Replacement::Found Replacement::LookAtName() {
    const platform::UniqueFile look(os_, os_.OpenChild(walk_.Folder(), name_, kReportLook));
    if (!look) {
        const std::uint32_t error = os_.LastError();
        if (error == platform::kErrorFileNotFound) return Found::Nothing;
        platform::EmitFailure(os_, kKeywords, "OpenChild", error, {Level(name_)});
        walk_.Refuse(name_, OpenRefusal(error, "what stands at the report's name cannot be looked at"));
        return Found::Refused;
    }
    const std::optional<platform::HandleInfo> info = os_.QueryHandle(look.get());
    if (!info) {
        platform::EmitCallFailed(os_, kKeywords, "QueryHandle", {Level(name_)});
        walk_.Refuse(name_, "what stands at the report's name cannot be queried");
        return Found::Refused;
    }
    if (const std::string_view refusal = ExistingReportRefusal(*info); !refusal.empty()) {
        walk_.Refuse(name_, refusal);
        return Found::Refused;
    }
    list_.emplace(os_, os_.ReadAccessList(look.get()));
    if (!*list_) {
        platform::EmitCallFailed(os_, kKeywords, "ReadAccessList", {Level(name_)});
        walk_.Refuse(name_, "the earlier report's access list, which the new one would keep, cannot be read");
        return Found::Refused;
    }
    return Found::Report;
}

// FILE_CREATE never opens what is there: a name someone else took, or one a power cut left, is
// passed over for the next.
bool Replacement::MakeTemporary() {
    for (int number = 1; number <= kTemporaryNames; ++number) {
        temporary_ = TemporaryName(number);
        // A report given one of these names is never made under its own name first.
        if (SameName(temporary_, name_)) continue;
        file_ = platform::UniqueFile(os_, os_.CreateChildFile(walk_.Folder(), temporary_, kReportMade, security_));
        if (file_) return true;
        const std::uint32_t error = os_.LastError();
        if (NameTaken(error)) continue;
        platform::EmitFailure(os_, kKeywords, "CreateChildFile", error, {Level(temporary_)});
        walk_.Refuse(temporary_, OpenRefusal(error, "the new report cannot be made in the report's folder"));
        return false;
    }
    walk_.Refuse(TemporaryName(kTemporaryNames),
                 "every temporary name, ~ppkg-launcher-1.tmp to ~ppkg-launcher-16.tmp, is taken in the report's folder");
    return false;
}

// The new file goes through its own handle; what stood at the report's name was never touched.
bool Replacement::Abandon(std::string_view reason, std::u16string_view at) {
    walk_.Refuse(at, reason);
    if (!os_.MarkForDeletion(file_.get())) platform::EmitCallFailed(os_, kKeywords, "MarkForDeletion", {Level(temporary_)});
    file_.reset();
    return false;
}

bool Replacement::Run(std::string_view bytes) {
    const Found found = LookAtName();
    if (found == Found::Refused || !MakeTemporary()) return false;
    walk_.NoteLevel(temporary_, "new report made");
    // Now that the new file is in it, the folder cannot be made a link any more (a reparse point
    // goes only on an empty directory: FSCTL_SET_REPARSE_POINT, STATUS_DIRECTORY_NOT_EMPTY), and
    // the rename, which carries no OBJ_DONT_REPARSE, starts from a folder that is still one.
    const std::optional<platform::HandleInfo> folder = os_.QueryHandle(walk_.Folder());
    if (!folder) {
        platform::EmitCallFailed(os_, kKeywords, "QueryHandle", {Level({})});
        return Abandon("the report's folder cannot be queried", {});
    }
    if ((folder->attributes & platform::kAttributeReparsePoint) != 0 &&
        (folder->reparseTag & platform::kReparseTagNameSurrogate) != 0) {
        return Abandon("the report's folder became a link after it was checked", {});
    }
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max() ||
        !os_.WriteBytes(file_.get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()))) {
        platform::EmitCallFailed(os_, kKeywords, "WriteBytes", {Level(temporary_)});
        return Abandon("the new report could not be written: the earlier one stays as it was", temporary_);
    }
    if (!os_.FlushFile(file_.get())) {
        platform::EmitCallFailed(os_, kKeywords, "FlushFile", {Level(temporary_)});
        return Abandon("the new report could not be flushed: the earlier one stays as it was", temporary_);
    }
    if (list_ && !os_.WriteAccessList(file_.get(), list_->get())) {
        platform::EmitCallFailed(os_, kKeywords, "WriteAccessList", {Level(temporary_)});
        return Abandon("the earlier report's access list could not be given to the new one: the earlier one stays",
                       temporary_);
    }
    if (!os_.RenameInto(file_.get(), walk_.Folder(), name_)) {
        platform::EmitCallFailed(os_, kKeywords, "RenameInto", {Level(name_)});
        return Abandon("the new report could not take the report's name, which holds a directory, a read-only file or "
                       "a file another program has open: the earlier one stays as it was",
                       name_);
    }
    walk_.NoteLevel(name_, found == Found::Report ? "put in place of the earlier report" : "put in place");
    return true;
}

}  // namespace

std::u16string TemporaryName(int number) {
    constexpr int kBase = 10;
    std::u16string digits;
    for (int rest = number; rest > 0 || digits.empty(); rest /= kBase) {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + rest % kBase));
    }
    return u"~ppkg-launcher-" + digits + u".tmp";
}

std::string_view ExistingReportRefusal(const platform::HandleInfo& info) {
    if ((info.attributes & platform::kAttributeReparsePoint) != 0) {
        return "the report is a link or other reparse point: it is not replaced, and what it leads to is not touched";
    }
    if ((info.attributes & platform::kAttributeDirectory) != 0) return "the report is a directory";
    return {};
}

bool ReplaceReport(platform::Platform& os, PathWalk& walk, const std::u16string& name, std::string_view bytes,
                   const platform::SecurityAttributes& security) {
    bool replaced = false;
    {
        Replacement replacement(os, walk, name, security);
        replaced = replacement.Run(bytes);
    }
    // The new file, when it was not put in place, is gone with its handle; then the levels made for it.
    if (!replaced) walk.Undo();
    return replaced;
}

}  // namespace report
