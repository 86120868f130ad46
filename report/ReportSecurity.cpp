#include "report/ReportSecurity.h"

#include <string>

namespace report {

ReportSecurity::ReportSecurity(platform::Platform& os)
    : descriptor_(os, os.BuildDescriptor(std::u16string(kReportSddl))) {
    attributes_.descriptor = descriptor_.get();
    attributes_.inheritHandle = false;
}

}  // namespace report
