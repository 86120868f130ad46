#pragma once

// The cases the verification program runs, each in a folder of its own inside the scratch folder.
// Plain data and function pointers only: the judging code that settles their outcomes is built
// and tested on Linux too.

#include <string>
#include <utility>
#include <vector>

namespace verify {

struct GuardSeen;
struct QueryEvidence;

struct Context {
    std::wstring launcher;      // full path of the copy of ppkg-launcher.exe inside the scratch folder
    std::wstring systemFolder;  // GetSystemDirectoryW
    std::wstring folder;        // every run's working directory: the scratch folder
    std::wstring scratch;       // everything the cases plant and check lies in here
    QueryEvidence* evidence = nullptr;   // what the powershell-* cases saw, for query-verdict
    GuardSeen* guard = nullptr;          // what redirection-guard saw, for redirection-guard-child
};

// Info: evidence printed for a person to read; it never counts as a pass.
enum class Verdict { Pass, Fail, CannotPrepare, Info };

struct Outcome {
    Verdict verdict;
    std::wstring detail;
};

inline Outcome Pass(std::wstring detail = {}) { return {Verdict::Pass, std::move(detail)}; }
inline Outcome Fail(std::wstring detail) { return {Verdict::Fail, std::move(detail)}; }
inline Outcome CannotPrepare(std::wstring why) { return {Verdict::CannotPrepare, std::move(why)}; }

// What a pass of the case stands on.
enum class Kind {
    Proof,     // what the case saw happen itself
    Baseline,  // a report written in a plain folder: that the launcher writes at all
    Refusal,   // nothing written or changed: proves something only once a Baseline case passed
    Info,      // prints evidence; a pass of it is shown as information
};

struct Case;
using Check = Outcome (*)(const Context& context, const Case& self, const std::wstring& folder);
// Plants what the case needs in its folder: an empty text, or why it cannot be planted here.
using Prepare = std::wstring (*)(const std::wstring& folder);

struct Case {
    const wchar_t* name;
    Check check;
    Prepare prepare;       // null when there is nothing to plant
    const wchar_t* report; // the report path, relative to the case's folder
    Kind kind = Kind::Proof;
};

const std::vector<Case>& AllCases();

}  // namespace verify
