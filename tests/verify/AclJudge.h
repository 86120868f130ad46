#pragma once

// The judge of a created report's or directory's access list, on the entries as read back:
// plain data, so that it is tested on crafted lists as well as run on Windows.

#include <cstdint>
#include <string>
#include <vector>

namespace verify {

enum class AceType { Allow, Deny, Other };

struct AceEntry {
    AceType type = AceType::Other;
    bool objectInherit = false;     // OI
    bool containerInherit = false;  // CI
    bool noPropagate = false;       // NP
    bool inheritOnly = false;       // IO
    bool inherited = false;         // ID
    std::uint32_t mask = 0;
    std::wstring sid;               // "S-1-5-32-544"
};

struct AccessList {
    bool present = false;       // a null DACL grants everyone everything
    bool isProtected = false;   // P
    std::vector<AceEntry> entries;
};

// Empty when the list means exactly the report's four entries, protected, for the entry itself
// and (for a directory) for the files and folders made inside it; else what differs.
std::wstring JudgeReportList(const AccessList& list, bool directory);

}  // namespace verify
