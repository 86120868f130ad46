#include "Watch.h"

#include <cstddef>
#include <cstring>

#include "Text.h"

namespace verify {
namespace {

constexpr std::size_t kBufferWords = 16 * 1024;
constexpr DWORD kWhat = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
// Notifications of a run that has ended arrive at once; this long without one, the log is whole.
constexpr DWORD kQuietMs = 500;
constexpr int kMostReads = 1000;

std::wstring ErrorText(const wchar_t* what) { return WithError(what, GetLastError()); }

// The records of one completed read, each bounds-checked against what the system wrote.
bool Parse(const BYTE* bytes, DWORD size, std::vector<LoggedChange>& log) {
    DWORD at = 0;
    for (;;) {
        const DWORD header = offsetof(FILE_NOTIFY_INFORMATION, FileName);
        if (at > size || size - at < header) return false;
        FILE_NOTIFY_INFORMATION record{};
        std::memcpy(&record, bytes + at, header);
        if (record.FileNameLength > size - at - header || record.FileNameLength % sizeof(wchar_t) != 0) return false;
        std::wstring name(record.FileNameLength / sizeof(wchar_t), L'\0');
        std::memcpy(name.data(), bytes + at + header, record.FileNameLength);
        switch (record.Action) {
            case FILE_ACTION_ADDED: log.push_back({NameChange::Added, name}); break;
            case FILE_ACTION_REMOVED: log.push_back({NameChange::Removed, name}); break;
            case FILE_ACTION_RENAMED_OLD_NAME: log.push_back({NameChange::RenamedFrom, name}); break;
            case FILE_ACTION_RENAMED_NEW_NAME: log.push_back({NameChange::RenamedTo, name}); break;
            default: break;   // a change of contents or attributes: not a name
        }
        if (record.NextEntryOffset == 0) return true;
        at += record.NextEntryOffset;
    }
}

}  // namespace

DirectoryWatch::~DirectoryWatch() {
    if (pending_) {
        DWORD ignored = 0;
        CancelIoEx(folder_.get(), &overlapped_);
        GetOverlappedResult(folder_.get(), &overlapped_, &ignored, TRUE);
    }
}

bool DirectoryWatch::Issue() {
    ResetEvent(event_.get());
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.get();
    pending_ = ReadDirectoryChangesW(folder_.get(), buffer_.data(), static_cast<DWORD>(buffer_.size() * sizeof(DWORD)),
                                     TRUE, kWhat, nullptr, &overlapped_, nullptr) != 0;
    return pending_;
}

std::wstring DirectoryWatch::Start(const std::wstring& folder) {
    folder_.reset(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_OVERLAPPED, nullptr));
    if (!folder_) return ErrorText(L"opening the folder to watch");
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event_) return ErrorText(L"CreateEventW");
    buffer_.assign(kBufferWords, 0);
    return Issue() ? std::wstring() : ErrorText(L"ReadDirectoryChangesW");
}

std::wstring DirectoryWatch::Collect(std::vector<LoggedChange>& log) {
    for (int read = 0; read < kMostReads && pending_; ++read) {
        if (WaitForSingleObject(event_.get(), kQuietMs) != WAIT_OBJECT_0) return {};
        DWORD got = 0;
        pending_ = false;
        if (!GetOverlappedResult(folder_.get(), &overlapped_, &got, FALSE)) return ErrorText(L"reading the changes");
        // A completed read with nothing in it: more changes came than the buffer holds.
        if (got == 0) return L"more changes than the system kept";
        if (!Parse(reinterpret_cast<const BYTE*>(buffer_.data()), got, log)) return L"a change record that does not fit";
        if (!Issue()) return ErrorText(L"ReadDirectoryChangesW");
    }
    return pending_ ? L"changes kept arriving" : L"";
}

}  // namespace verify
