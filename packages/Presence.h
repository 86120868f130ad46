#pragma once

namespace packages {

// What one question to the provisioning store came back with. CouldNotAsk is not an
// answer: the query never got a report that PowerShell wrote.
enum class Presence { Present, NotReported, CouldNotAsk };

}  // namespace packages
