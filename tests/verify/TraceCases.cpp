#include "TraceCases.h"

#include <windows.h>

#include <evntcons.h>
#include <evntrace.h>
#include <tdh.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Files.h"
#include "Handles.h"
#include "Launch.h"
#include "Links.h"
#include "PathWalkCases.h"
#include "Text.h"
#include "platform/win32/SystemExport.h"

namespace verify {
namespace {

using platform::win32::ExportOf;

// The launcher's provider, Norv-PpkgLauncher: {d0208507-037d-55cf-db2e-1c0507d1ccf9}.
constexpr GUID kProvider = {0xd0208507, 0x037d, 0x55cf, {0xdb, 0x2e, 0x1c, 0x05, 0x07, 0xd1, 0xcc, 0xf9}};
constexpr UCHAR kLevelError = 2;
constexpr UCHAR kLevelInformation = 4;
constexpr UCHAR kLevelVerbose = 5;
// TDH's input types (_TDH_IN_TYPE), which mingw-w64's tdh.h does not list.
constexpr USHORT kInUnicodeString = 1;
constexpr USHORT kInAnsiString = 2;
constexpr USHORT kInUInt32 = 8;
constexpr USHORT kInUInt64 = 10;
constexpr USHORT kInHexInt32 = 20;
constexpr ULONGLONG kAllKeywords = ~0ull;
constexpr ULONG kBufferKilobytes = 64;

using GetEventInformationFunction = ULONG(WINAPI*)(PEVENT_RECORD, ULONG, PTDH_CONTEXT, PTRACE_EVENT_INFO, PULONG);
using GetPropertySizeFunction = ULONG(WINAPI*)(PEVENT_RECORD, ULONG, PTDH_CONTEXT, ULONG, PPROPERTY_DATA_DESCRIPTOR,
                                               PULONG);
using GetPropertyFunction = ULONG(WINAPI*)(PEVENT_RECORD, ULONG, PTDH_CONTEXT, ULONG, PPROPERTY_DATA_DESCRIPTOR, ULONG,
                                           PBYTE);

struct Tdh {
    GetEventInformationFunction getEventInformation = nullptr;
    GetPropertySizeFunction getPropertySize = nullptr;
    GetPropertyFunction getProperty = nullptr;
};


bool EqualFolded(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
               CSTR_EQUAL;
}

// One decoded event: its name, its level and each field's value as text.
struct Decoded {
    std::wstring name;
    UCHAR level = 0;
    std::map<std::wstring, std::wstring> fields;
    std::wstring Field(const wchar_t* field) const {
        const auto found = fields.find(field);
        return found == fields.end() ? std::wstring() : found->second;
    }
};

// What the decoder's callback reads: the functions and the events decoded so far.
struct Decoding {
    Tdh tdh;
    std::vector<Decoded>* events = nullptr;
};

std::wstring TextAt(const std::vector<BYTE>& info, ULONG offset) {
    if (offset == 0 || offset >= info.size()) return {};
    const auto* text = reinterpret_cast<const wchar_t*>(info.data() + offset);
    return std::wstring(text, wcsnlen(text, (info.size() - offset) / sizeof(wchar_t)));
}

// A field's value as TDH hands it over, read by its type.
std::wstring ValueText(const Tdh& tdh, PEVENT_RECORD record, const std::wstring& name, USHORT inType) {
    PROPERTY_DATA_DESCRIPTOR descriptor{};
    descriptor.PropertyName = reinterpret_cast<ULONGLONG>(name.c_str());
    descriptor.ArrayIndex = ULONG_MAX;
    ULONG size = 0;
    if (tdh.getPropertySize(record, 0, nullptr, 1, &descriptor, &size) != ERROR_SUCCESS || size == 0) return {};
    std::vector<BYTE> bytes(size);
    if (tdh.getProperty(record, 0, nullptr, 1, &descriptor, size, bytes.data()) != ERROR_SUCCESS) return {};
    switch (inType) {
        case kInUnicodeString: {
            const auto* text = reinterpret_cast<const wchar_t*>(bytes.data());
            return std::wstring(text, wcsnlen(text, size / sizeof(wchar_t)));
        }
        case kInAnsiString: {
            const auto* text = reinterpret_cast<const char*>(bytes.data());
            const int length = static_cast<int>(strnlen(text, size));
            std::wstring wide(static_cast<std::size_t>(length), L'\0');
            if (length > 0) MultiByteToWideChar(CP_ACP, 0, text, length, wide.data(), length);
            return wide;
        }
        case kInUInt32:
        case kInHexInt32: {
            ULONG value = 0;
            std::memcpy(&value, bytes.data(), std::min<std::size_t>(size, sizeof value));
            return std::to_wstring(value);
        }
        case kInUInt64: {
            ULONGLONG value = 0;
            std::memcpy(&value, bytes.data(), std::min<std::size_t>(size, sizeof value));
            return std::to_wstring(value);
        }
        default: return L"?";
    }
}

// Every event of the launcher's provider in the file, decoded by TDH from the metadata each
// event carries: nothing of the launcher's own encoding is known here.
void WINAPI OnEvent(PEVENT_RECORD record) {
    const auto* decoding = static_cast<const Decoding*>(record->UserContext);
    const Tdh& tdh = decoding->tdh;
    if (!IsEqualGUID(record->EventHeader.ProviderId, kProvider)) return;
    ULONG size = 0;
    if (tdh.getEventInformation(record, 0, nullptr, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER) return;
    std::vector<BYTE> buffer(size);
    auto* info = reinterpret_cast<TRACE_EVENT_INFO*>(buffer.data());
    if (tdh.getEventInformation(record, 0, nullptr, info, &size) != ERROR_SUCCESS) return;
    Decoded event;
    // TDH names a self-describing event in EventNameOffset (ActivityIDNameOffset in older
    // headers) and, on older systems, in its task name.
    event.name = TextAt(buffer, info->ActivityIDNameOffset);
    if (event.name.empty()) event.name = TextAt(buffer, info->TaskNameOffset);
    event.level = record->EventHeader.EventDescriptor.Level;
    for (ULONG i = 0; i < info->TopLevelPropertyCount; ++i) {
        const EVENT_PROPERTY_INFO& property = info->EventPropertyInfoArray[i];
        if ((property.Flags & PropertyStruct) != 0) continue;
        const std::wstring name = TextAt(buffer, property.NameOffset);
        event.fields[name] = ValueText(tdh, record, name, property.nonStructType.InType);
    }
    decoding->events->push_back(std::move(event));
}

// A trace session writing to a file, stopped on every way out.
class Session {
public:
    explicit Session(std::wstring name) : name_(std::move(name)) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() { Stop(); }

    ULONG Start(const std::wstring& file) {
        Reset(file);
        return StartTraceW(&handle_, name_.c_str(), Properties());
    }
    void Stop() {
        if (handle_ == 0) return;
        ControlTraceW(handle_, nullptr, Properties(), EVENT_TRACE_CONTROL_STOP);
        handle_ = 0;
    }
    TRACEHANDLE Handle() const { return handle_; }

private:
    // The properties, then the session's name, then the file's name, in one block.
    void Reset(const std::wstring& file) {
        const std::size_t nameBytes = (name_.size() + 1) * sizeof(wchar_t);
        const std::size_t fileBytes = (file.size() + 1) * sizeof(wchar_t);
        block_.assign(sizeof(EVENT_TRACE_PROPERTIES) + nameBytes + fileBytes, 0);
        EVENT_TRACE_PROPERTIES* properties = Properties();
        properties->Wnode.BufferSize = static_cast<ULONG>(block_.size());
        properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
        properties->Wnode.ClientContext = 1;   // the performance counter's clock
        properties->LogFileMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL;
        // KB, as the DEPLOY.md recipes set it: a buffer holds the largest event the launcher
        // writes (up to some 34 KB), and an event larger than the buffer is lost.
        properties->BufferSize = kBufferKilobytes;
        properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
        properties->LogFileNameOffset = static_cast<ULONG>(sizeof(EVENT_TRACE_PROPERTIES) + nameBytes);
        std::memcpy(block_.data() + properties->LogFileNameOffset, file.c_str(), fileBytes);
    }
    EVENT_TRACE_PROPERTIES* Properties() { return reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block_.data()); }

    std::wstring name_;
    std::vector<BYTE> block_ = std::vector<BYTE>(sizeof(EVENT_TRACE_PROPERTIES) + 1024, 0);
    TRACEHANDLE handle_ = 0;
};

std::wstring Decode(const std::wstring& file, std::vector<Decoded>& events) {
    // tdh.dll is not one of the KnownDLLs, so it is loaded from the system folder here, never
    // imported (an import would be searched for beside this program first).
    const UniqueLibrary library(LoadLibraryExW(L"tdh.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!library) return ErrorText(L"loading tdh.dll from the system folder", GetLastError());
    Decoding decoding;
    decoding.events = &events;
    decoding.tdh.getEventInformation = ExportOf<GetEventInformationFunction>(library.get(), "TdhGetEventInformation");
    decoding.tdh.getPropertySize = ExportOf<GetPropertySizeFunction>(library.get(), "TdhGetPropertySize");
    decoding.tdh.getProperty = ExportOf<GetPropertyFunction>(library.get(), "TdhGetProperty");
    if (decoding.tdh.getEventInformation == nullptr || decoding.tdh.getPropertySize == nullptr ||
        decoding.tdh.getProperty == nullptr) {
        return L"tdh.dll lacks the decoding functions";
    }
    EVENT_TRACE_LOGFILEW logFile{};
    logFile.LogFileName = const_cast<wchar_t*>(file.c_str());
    logFile.ProcessTraceMode = PROCESS_TRACE_MODE_EVENT_RECORD;
    logFile.EventRecordCallback = OnEvent;
    logFile.Context = &decoding;
    TRACEHANDLE trace = OpenTraceW(&logFile);
    if (trace == INVALID_PROCESSTRACE_HANDLE) return ErrorText(L"OpenTraceW", GetLastError());
    const ULONG processed = ProcessTrace(&trace, 1, nullptr, nullptr);
    CloseTrace(trace);
    return processed == ERROR_SUCCESS ? std::wstring() : ErrorText(L"ProcessTrace", processed);
}

// j leads to behind, and a standard user owns it: a report below it is refused at j.
std::wstring PlantUserJunction(const std::wstring& folder) {
    const std::wstring behind = Join(folder, L"behind");
    if (!CreateDirectoryW(behind.c_str(), nullptr) || !CreateDirectoryW(Join(behind, L"a").c_str(), nullptr)) {
        return ErrorText(L"making the folder behind the junction", GetLastError());
    }
    std::wstring why = MakeJunction(Join(folder, L"j"), behind);
    if (why.empty()) why = OwnedByAStandardUser(Join(folder, L"j"));
    return why;
}

Outcome CheckTraceEvents(const Context& context, const Case& self, const std::wstring& folder) {
    const std::wstring why = self.prepare(folder);
    if (!why.empty()) return CannotPrepare(why);
    const std::wstring file = Join(folder, L"launcher.etl");
    const std::wstring written = Join(folder, L"written\\status.txt");
    const std::wstring refused = Join(folder, L"j\\a\\status.txt");
    const std::wstring junction = Join(folder, L"j");

    Session session(L"ppkg-verify-" + std::to_wstring(GetCurrentProcessId()));
    const ULONG started = session.Start(file);
    if (started != ERROR_SUCCESS) return CannotPrepare(ErrorText(L"StartTraceW", started));
    // A system without event tracing may answer success and record nothing: a real session has
    // made its file by now.
    if (LookAt(file).attributes == INVALID_FILE_ATTRIBUTES) return CannotPrepare(L"the trace session made no file");
    const ULONG enabled = EnableTraceEx2(session.Handle(), &kProvider, EVENT_CONTROL_CODE_ENABLE_PROVIDER,
                                         kLevelVerbose, kAllKeywords, 0, 0, nullptr);
    if (enabled != ERROR_SUCCESS) return CannotPrepare(ErrorText(L"EnableTraceEx2", enabled));

    for (const std::wstring& path : {written, refused}) {
        DWORD exitCode = 0;
        if (const std::optional<Outcome> stopped = RunStatus(context, path, exitCode)) return *stopped;
    }
    session.Stop();

    std::vector<Decoded> events;
    const std::wstring problem = Decode(file, events);
    if (!problem.empty()) return Fail(problem);
    if (events.empty()) return Fail(L"no event of the launcher's provider in " + file);

    // Tools know an event by its name, so each name must come at one level only.
    std::map<std::wstring, UCHAR> levels;
    for (const Decoded& e : events) {
        const auto [known, added] = levels.emplace(e.name, e.level);
        if (!added && known->second != e.level) {
            return Fail(L"the event " + e.name + L" came at level " + std::to_wstring(known->second) + L" and at level " +
                        std::to_wstring(e.level));
        }
    }
    const auto named = [&events](const wchar_t* name, UCHAR level, const std::wstring& field,
                                 const std::wstring& value) {
        return std::find_if(events.begin(), events.end(), [&](const Decoded& e) {
            return e.name == name && e.level == level && EqualFolded(e.Field(field.c_str()), value);
        });
    };
    const auto writtenReport = named(L"StatusReport", kLevelInformation, L"Path", written);
    if (writtenReport == events.end() || writtenReport->Field(L"Outcome") != L"written") {
        return Fail(L"no StatusReport event at level 4 says the report at " + written + L" was written");
    }
    if (named(L"StatusReportNotWritten", kLevelError, L"Path", refused) == events.end()) {
        return Fail(L"no StatusReportNotWritten event at level 2 names " + refused);
    }
    const auto refusal = named(L"ReportPathRefused", kLevelError, L"Level", junction);
    if (refusal == events.end()) return Fail(L"no ReportPathRefused event at level 2 names the refused level " + junction);
    if (refusal->Field(L"Link") != L"junction") {
        return Fail(L"the refusal at " + junction + L" does not name the junction: " + refusal->Field(L"Reason"));
    }
    return Pass(std::to_wstring(events.size()) + L" events, each name at one level; " + refusal->name + L" at " +
                refusal->Field(L"Level") + L": " + refusal->Field(L"Reason") + L" (" + refusal->Field(L"Link") + L")");
}

}  // namespace

std::vector<Case> TraceCases() {
    return {
        {L"trace-events", CheckTraceEvents, PlantUserJunction, L"j\\a\\status.txt"},
    };
}

}  // namespace verify
