#include "launcher/Dispatch.h"

namespace launcher {

Request ChooseAction(const std::optional<std::vector<std::u16string>>& arguments) {
    std::u16string request;
    std::u16string operand;
    if (arguments && (arguments->size() == 1 || arguments->size() == 2)) {
        request = (*arguments)[0];
        if (arguments->size() == 2) operand = (*arguments)[1];
    }
    if (request == u"/uninstall") return {Action::Uninstall, std::move(operand)};
    if (request == u"/getstatus") return {Action::Status, std::move(operand)};
    return {Action::Install, {}};
}

}  // namespace launcher
