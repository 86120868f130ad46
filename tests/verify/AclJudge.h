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

// An entry's security as read back: its owner, the control bits and the DACL's entries.
struct AccessList {
    std::wstring owner;         // "S-1-5-32-544"; empty when it was not read
    bool present = false;       // a null DACL grants everyone everything
    bool isProtected = false;   // P: nothing the folder above passes on is merged in
    // AI: Windows sets it on every list it stores with automatic inheritance, so a list set as
    // "D:P(...)" reads back as "D:PAI(...)". It says nothing about who may do what.
    bool autoInherited = false;
    std::vector<AceEntry> entries;
};

// "0x001F01FF": an access mask as the person running the program reads it.
std::wstring Hex(std::uint32_t mask);

// The file system's mapping of the generic rights (GA, GR, GW, GX) onto a file's or folder's.
std::uint32_t MapGeneric(std::uint32_t mask);

// Empty when the list means exactly the report's four entries, protected, for the entry itself
// and (for a directory) for the files and folders made inside it, and the entry is owned by
// `owner`, the account the launcher ran as; else what differs.
std::wstring JudgeReportList(const AccessList& list, bool directory, const std::wstring& owner);

}  // namespace verify
