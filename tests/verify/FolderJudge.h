#pragma once

// Who besides the system, Administrators and TrustedInstaller may change a folder, judged from
// its owner and its entries as read back: plain data, tested on crafted lists and run on Windows
// for the program's own folder, every folder above it, and its scratch folder.

#include <string>

#include "AclJudge.h"

namespace verify {

enum class FolderRole {
    // A folder on the way down: whoever may rename or remove it, or the level below it, or
    // rewrite its list. Adding new entries to it changes nothing on the way.
    Above,
    // The program's own folder: besides, whoever may add, remove or rename what it holds, or
    // change its attributes.
    Own,
    // The scratch folder: as its own folder, for the folder and for everything made inside it,
    // and its list must be protected so that nothing from above is merged into what it makes.
    Scratch,
};

// Empty when nobody but the system, Administrators and TrustedInstaller may change the folder in
// its role; else who may and how, for the person running the program.
std::wstring WhoElseMayChange(const AccessList& list, FolderRole role);

}  // namespace verify
