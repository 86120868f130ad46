#pragma once

// The cases the verification program runs, each in a folder of its own inside the scratch folder.

#include <string>
#include <vector>

namespace verify {

struct Context {
    std::wstring launcher;      // full path of ppkg-launcher.exe
    std::wstring systemFolder;  // GetSystemDirectoryW
    std::wstring folder;        // the folder holding both programs: every run's working directory
    std::wstring scratch;       // everything the cases plant and check lies in here
};

enum class Verdict { Pass, Fail, CannotPrepare };

struct Outcome {
    Verdict verdict;
    std::wstring detail;
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
};

const std::vector<Case>& AllCases();

}  // namespace verify
