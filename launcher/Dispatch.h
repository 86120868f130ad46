#pragma once

#include <optional>
#include <string>
#include <vector>

namespace launcher {

enum class Action { Install, Uninstall, Status };

struct Request {
    Action action = Action::Install;
    std::u16string operand;   // the second argument; the report path of /getstatus
};

// Chooses the action from the split command line (nullopt when the split failed).
// Keywords match exactly: same length, same units, case included. Anything else, no
// arguments and three or more included, installs.
Request ChooseAction(const std::optional<std::vector<std::u16string>>& arguments);

}  // namespace launcher
