#pragma once

// This program's account, and a token of the same account without administrators' rights: what
// a case uses where a user who is no administrator must act (make a junction RedirectionGuard
// marks as theirs, run the launcher's query as one who may not ask the store).

#include <windows.h>

#include <string>

#include "Handles.h"

namespace verify {

// A SID as text ("S-1-5-21-..."); empty when it cannot be written.
std::wstring SidText(PSID sid);
// "DOMAIN\\name" as this machine spells it (the system account's differs by language); empty
// when it cannot be looked up.
std::wstring AccountName(PSID sid);
// The SID of the account this process runs as (its token's user), as text; empty when unread.
std::wstring AccountSid();
// Whether this process runs as the local system account.
bool RunsAsSystem();

class NonAdministratorToken {
public:
    // A restricted version of this process's own token: the Administrators group deny-only,
    // every privilege removed but bypass-traverse (DISABLE_MAX_PRIVILEGE), the account itself
    // the owner of what it makes (a deny-only group can own nothing), and a default list that
    // gives what it makes to the account, the system and Administrators alone. Refused as the
    // system account, whose token keeps the system's own SID and so is no user's without
    // administrators' rights, unless `evenAsSystem` (a try whose outcome shows for itself).
    // Empty text, or why not.
    std::wstring Make(bool evenAsSystem = false);
    // The primary token, for CreateProcessAsUserW: as a restricted version of the caller's own
    // token it needs no SE_ASSIGNPRIMARYTOKEN_NAME (Microsoft's "Restricted Tokens" page).
    HANDLE Primary() const { return primary_.get(); }
    // The account's SID as text.
    const std::wstring& Account() const { return account_; }

private:
    UniqueKernelHandle primary_;
    std::wstring account_;
};

// This thread acts as the token until the object goes; the thread's own token comes back on
// every way out.
class Impersonation {
public:
    Impersonation() = default;
    Impersonation(const Impersonation&) = delete;
    Impersonation& operator=(const Impersonation&) = delete;
    Impersonation(Impersonation&&) = delete;
    Impersonation& operator=(Impersonation&&) = delete;
    ~Impersonation();
    // Empty text, or why the thread could not take the token on.
    std::wstring Begin(HANDLE primary);

private:
    bool active_ = false;
};

}  // namespace verify
