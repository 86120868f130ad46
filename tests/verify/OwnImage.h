#pragma once

// This program's own file, held from start-up: the run as the system account gets a copy of
// exactly these bytes, never what stands at the path later.

#include <optional>
#include <string>

#include "Handles.h"

namespace verify {

class OwnImage {
public:
    // Opens the file at `path` shared for reading only, so that nobody can write, rename or
    // remove it while this runs, and makes sure it is the file this process was started from.
    // Empty text, or why not.
    std::wstring Hold(const std::wstring& path);
    // Its bytes, read through the held handle.
    std::optional<std::string> Read() const;
    // The held handle (GENERIC_READ: its list and attributes can be read through it too).
    HANDLE Handle() const { return file_.get(); }

private:
    UniqueFile file_;
};

}  // namespace verify
