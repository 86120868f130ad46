#include "PlantList.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "AclJudge.h"

namespace verify {
namespace {

constexpr std::uint32_t kDelete = 0x00010000;
constexpr std::uint32_t kWriteDac = 0x00040000;
constexpr std::uint32_t kWriteOwner = 0x00080000;
constexpr std::uint32_t kDeleteChild = 0x00000040;
constexpr std::uint32_t kGenericAndSystem = 0xF1000000;   // GENERIC_*, MAXIMUM_ALLOWED, ACCESS_SYSTEM_SECURITY
constexpr std::uint32_t kNeverGranted = kDelete | kWriteDac | kWriteOwner | kDeleteChild | kGenericAndSystem;

// Local and domain accounts (S-1-5-21-...) and Microsoft Entra ID accounts (S-1-12-1-...): each
// names one account. Every other authority names a group, a service or the system.
constexpr std::array<std::wstring_view, 2> kAccountPrefixes = {L"S-1-5-21-", L"S-1-12-1-"};

bool IsOneAccount(const std::wstring& sid) {
    const auto prefix = std::find_if(kAccountPrefixes.begin(), kAccountPrefixes.end(),
                                     [&](std::wstring_view p) { return sid.rfind(p, 0) == 0; });
    if (prefix == kAccountPrefixes.end() || sid.size() == prefix->size()) return false;
    const std::wstring_view rest = std::wstring_view(sid).substr(prefix->size());
    return rest.front() != L'-' && rest.back() != L'-' && rest.find(L"--") == std::wstring_view::npos &&
           std::all_of(rest.begin(), rest.end(), [](wchar_t c) { return (c >= L'0' && c <= L'9') || c == L'-'; });
}

}  // namespace

std::optional<std::wstring> OneAccountList(const std::wstring& accountSid, std::uint32_t rights) {
    if (!IsOneAccount(accountSid) || rights == 0 || (rights & kNeverGranted) != 0) return std::nullopt;
    // Without inheritance flags: nothing made inside gets the account's entry.
    return std::wstring(kAdminsOnlyList) + L"(A;;" + Hex(rights) + L";;;" + accountSid + L")";
}

}  // namespace verify
