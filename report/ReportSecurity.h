#pragma once

#include <string_view>

#include "platform/Owners.h"
#include "platform/Platform.h"

namespace report {

// Guests and anonymous callers get nothing, authenticated users may read, administrators
// have full access; files and directories made inside a created directory inherit the same.
// Protected (P): otherwise Windows merges in what the parent folder passes on, and under a
// folder such as C:\ProgramData that includes the right of every user to create entries.
// The local system account keeps full access through the Administrators group in its token.
inline constexpr std::u16string_view kReportSddl =
    u"D:P(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGX;;;AU)(A;OICI;GA;;;BA)";

// The descriptor every file and directory the report writer causes to be created gets, and
// the security attributes that carry it (handle not inheritable). Built at construction,
// released when the owner goes out of scope.
class ReportSecurity {
public:
    explicit ReportSecurity(platform::Platform& os);
    ReportSecurity(const ReportSecurity&) = delete;
    ReportSecurity& operator=(const ReportSecurity&) = delete;
    ReportSecurity(ReportSecurity&&) = delete;
    ReportSecurity& operator=(ReportSecurity&&) = delete;
    ~ReportSecurity() = default;

    // False when the SDDL text could not be turned into a descriptor.
    bool Built() const { return static_cast<bool>(descriptor_); }
    const platform::SecurityAttributes& Attributes() const { return attributes_; }

private:
    platform::UniqueDescriptor descriptor_;
    platform::SecurityAttributes attributes_;
};

}  // namespace report
