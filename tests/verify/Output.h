#pragma once

// Where the program's lines go: the console, redirected standard output (as UTF-8), or, for the
// run as the system account, a file the run that started it reads.

#include <string>

namespace verify {

void Print(const std::wstring& line);

// From now on every line goes to this new file, UTF-8, shareable for reading while it grows;
// false when it cannot be made.
bool PrintToFile(const std::wstring& path);

}  // namespace verify
