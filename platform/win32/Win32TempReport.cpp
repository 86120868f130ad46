#include <array>
#include <cstdlib>
#include <ctime>
#include <span>
#include <utility>

#include "platform/win32/SystemExport.h"
#include "platform/win32/UniqueResource.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {
namespace {

using GetTempPath2AFunction = DWORD(WINAPI*)(DWORD, LPSTR);

// U+2018..U+201B, the typographic single quotes PowerShell also reads as quote characters.
constexpr wchar_t kFirstSingleQuote = 0x2018;
constexpr wchar_t kLastSingleQuote = 0x201B;
// Room for one UTF-16 unit in any code page, which needs at most four bytes.
constexpr std::size_t kEncodedUnitBytes = 8;

// For the local system account GetTempPath2A names a folder only that account can write;
// older systems lack it, so it is looked up at run time.
GetTempPath2AFunction FindGetTempPath2A() { return LoadedExport<GetTempPath2AFunction>(L"kernel32.dll", "GetTempPath2A"); }

void AddEncodingOf(wchar_t unit, AnsiCodePage& codePage) {
    const bool utf8 = GetACP() == CP_UTF8;
    std::array<char, kEncodedUnitBytes> bytes{};
    BOOL usedDefault = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, &unit, 1, bytes.data(),
                                           static_cast<int>(bytes.size()), nullptr, utf8 ? nullptr : &usedDefault);
    if (length > 0 && !usedDefault) codePage.singleQuotes.emplace_back(bytes.data(), static_cast<std::size_t>(length));
}

}  // namespace

std::uint32_t Win32Platform::TempFolder(char* buffer, std::uint32_t size) {
    static const GetTempPath2AFunction getTempPath2A = FindGetTempPath2A();
    const DWORD length = getTempPath2A != nullptr ? getTempPath2A(size, buffer) : GetTempPathA(size, buffer);
    if (length == 0) Fail(GetLastError());
    return length;
}

// The report name is drawn as the C library draws it, seeded by the clock. It is guessable by
// design: what keeps it safe is that the file is created exclusively, never that the name is secret.
void Win32Platform::SeedRandomFromClock() {
    std::srand(static_cast<unsigned>(std::time(nullptr)));   // NOLINT(cert-msc51-cpp)
}

int Win32Platform::NextRandom() {
    return std::rand();   // NOLINT(cert-msc50-cpp)
}

AnsiCodePage Win32Platform::QueryAnsiCodePage() {
    AnsiCodePage codePage;
    CPINFO info{};
    if (GetCPInfo(CP_ACP, &info)) {
        // Ranges of lead bytes in pairs, ended by a zero byte; each loop's condition bounds the
        // index it reads or writes.
        // NOLINTBEGIN(cppcoreguidelines-pro-bounds-constant-array-index)
        for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2) {
            for (unsigned b = info.LeadByte[i]; b <= info.LeadByte[i + 1] && b < codePage.isLeadByte.size(); ++b) {
                codePage.isLeadByte[b] = true;
            }
        }
        // NOLINTEND(cppcoreguidelines-pro-bounds-constant-array-index)
    }
    for (wchar_t unit = kFirstSingleQuote; unit <= kLastSingleQuote; ++unit) AddEncodingOf(unit, codePage);
    return codePage;
}

ReserveResult Win32Platform::ReserveFile(const std::string& path, std::string_view content) {
    // CREATE_NEW fails on any entry already there, a dangling link included.
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        Fail(error);
        const bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED;
        return taken ? ReserveResult::AlreadyExists : ReserveResult::Failed;
    }
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    // A write that ends short without an error is answered as a write fault.
    const DWORD error = ok ? static_cast<DWORD>(ERROR_WRITE_FAULT) : GetLastError();
    file.reset();
    if (!ok || written != content.size()) {
        Fail(error);
        DeleteFileA(path.c_str());
        return ReserveResult::Failed;
    }
    return ReserveResult::Created;
}

ReadResult Win32Platform::ReadWholeFile(const std::string& path, std::size_t maxBytes, FileBytes& bytes) {
    bytes = FileBytes{};
    const UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        Fail(GetLastError());
        return ReadResult::CannotOpen;
    }
    // Only the attributes are needed: GetFileInformationByHandle would also ask the volume for
    // its serial number, which costs every query far more than the rest of the read.
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &info, sizeof info)) {
        Fail(GetLastError());
        return ReadResult::CannotOpen;
    }
    if (info.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return ReadResult::NotAPlainFile;
    DWORD high = 0;
    const DWORD size = GetFileSize(file.get(), &high);
    if (size == INVALID_FILE_SIZE) {
        const DWORD error = GetLastError();
        if (error != NO_ERROR) {
            Fail(error);
            return ReadResult::ReadFailed;
        }
    }
    if (high != 0 || size > maxBytes) return ReadResult::TooLarge;
    FileBytes read;
    if (!read.Allocate(size)) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return ReadResult::NoMemory;
    }
    const std::span<std::uint8_t> room(read.data.get(), size);
    // The file is held without sharing, so it cannot shrink meanwhile: fewer bytes than its
    // size mean the read went wrong, and a cut-off report could read as a different one.
    while (read.size < size) {
        const std::span<std::uint8_t> rest = room.subspan(read.size);
        DWORD got = 0;
        if (!::ReadFile(file.get(), rest.data(), static_cast<DWORD>(rest.size()), &got, nullptr)) {
            Fail(GetLastError());
            return ReadResult::ReadFailed;
        }
        if (got == 0) {
            Fail(ERROR_HANDLE_EOF);
            return ReadResult::ReadFailed;
        }
        read.size += got;
    }
    bytes = std::move(read);
    return ReadResult::Ok;
}

bool Win32Platform::RemoveFile(const std::string& path) {
    return DeleteFileA(path.c_str()) != 0 || Fail(GetLastError());
}

}  // namespace platform::win32
