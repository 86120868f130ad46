#pragma once

// A privilege of this process's token switched on for one step and back off right after it: the
// launcher runs this program starts inherit the token as it stands, and must run with the
// privileges a deployment gives it, not with one switched on for planting a case.

#include <windows.h>

#include <string>

#include "Handles.h"

namespace verify {

class EnabledPrivilege {
public:
    EnabledPrivilege() = default;
    EnabledPrivilege(const EnabledPrivilege&) = delete;
    EnabledPrivilege& operator=(const EnabledPrivilege&) = delete;
    EnabledPrivilege(EnabledPrivilege&&) = delete;
    EnabledPrivilege& operator=(EnabledPrivilege&&) = delete;
    // Puts the privilege back as it was.
    ~EnabledPrivilege();

    // Switches `name` on ("SeRestorePrivilege"); an empty text, or why it cannot.
    std::wstring Enable(const wchar_t* name);

private:
    UniqueKernelHandle token_;
    TOKEN_PRIVILEGES previous_{};
    bool changed_ = false;
};

}  // namespace verify
