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
    // One of the program's files (itself, the launcher beside it): whoever may write to it, change
    // its attributes, delete or rename it, or rewrite its list.
    File,
};

// Empty when nobody but the system, Administrators and TrustedInstaller may change the folder in
// its role; else who may and how, for the person running the program, and in `who`, when given,
// the SID that may (the owner or the entry's).
std::wstring WhoElseMayChange(const AccessList& list, FolderRole role, std::wstring* who = nullptr);

// What hands `level` and everything below it to Administrators, gives the level a protected list
// of the system and Administrators passed on to all inside, and lets everything inside inherit it,
// for a folder the administrator's own account owns or holds an entry in: an elevated mkdir can
// give the folder that owner on Windows 10 and 11 (the client default of "System objects: Default
// owner for objects created by members of the Administrators group", Microsoft KB 318825), and
// the parent's CREATOR OWNER entry then becomes an entry for that account. icacls's /setowner,
// /inheritance:r, /grant:r, /reset, /t and /c, (OI)(CI) before a permission, a SID given as *SID
// and a wildcard in the name (Microsoft's icacls page).
std::wstring MendCommands(const std::wstring& level);

}  // namespace verify
