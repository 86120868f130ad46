#include "report/ReportSecurity.h"

namespace report {

ReportSecurity::ReportSecurity(platform::Platform& os) : descriptor_(os, os.BuildDescriptor(kReportSddl)) {
    attributes_.descriptor = descriptor_.get();
    attributes_.inheritHandle = false;
}

}  // namespace report
