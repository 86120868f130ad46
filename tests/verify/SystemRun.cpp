#include "SystemRun.h"

#include <windows.h>

#include <oleauto.h>
#include <sddl.h>
#include <taskschd.h>

#include <optional>
#include <string>
#include <utility>

#include "Handles.h"
#include "Output.h"
#include "Tokens.h"

namespace verify {
namespace {

struct BstrTraits {
    using Type = BSTR;
    static Type Invalid() { return nullptr; }
    static void Release(Type text) { SysFreeString(text); }
};
using UniqueBstr = UniqueResource<BstrTraits>;

// A run on an idle machine starts within a second; the task is given this long to begin.
constexpr ULONGLONG kStartMs = 60 * 1000;
// Every case has its own limit; this is the whole run's.
constexpr ULONGLONG kRunMs = 60 * 60 * 1000;
constexpr wchar_t kTaskTimeLimit[] = L"PT1H";
// Once the task is no longer running, the run's last lines and its exit file are given this long.
constexpr ULONGLONG kSettleMs = 10 * 1000;
constexpr DWORD kPollMs = 500;
constexpr DWORD kMaxOutput = 4 * 1024 * 1024;
// The local system account by SID: its name differs with the machine's language.
constexpr wchar_t kSystemSid[] = L"S-1-5-18";
// NORMAL_PRIORITY_CLASS, as a management agent's own run gets, instead of the task's default 7
// (below normal, and low I/O and memory priority), which would slow every case it times.
constexpr int kNormalPriority = 4;
// Once asked to stop, the time the console gives before it ends this process on a close.
constexpr DWORD kStoppingMs = 4500;

// Ctrl+C, Ctrl+Break or the console closing while the task runs: the run stops the task and
// deletes it, and the handler waits for that before it lets the process go.
struct Stopping {
    UniqueKernelHandle asked;   // set by the handler
    UniqueKernelHandle done;    // set once the task is deleted
};
Stopping* stopping = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
    if (stopping == nullptr) return FALSE;
    SetEvent(stopping->asked.get());
    WaitForSingleObject(stopping->done.get(), kStoppingMs);
    return TRUE;
}

// The handler from the task's registration until it is deleted again.
class ConsoleControl {
public:
    ConsoleControl() {
        state_.asked.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        state_.done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (state_.asked && state_.done) {
            stopping = &state_;
            SetConsoleCtrlHandler(OnConsoleControl, TRUE);
        }
    }
    ConsoleControl(const ConsoleControl&) = delete;
    ConsoleControl& operator=(const ConsoleControl&) = delete;
    ConsoleControl(ConsoleControl&&) = delete;
    ConsoleControl& operator=(ConsoleControl&&) = delete;
    ~ConsoleControl() {
        if (stopping == &state_) {
            SetConsoleCtrlHandler(OnConsoleControl, FALSE);
            SetEvent(state_.done.get());
            stopping = nullptr;
        }
    }
    // Waits up to `ms` for a request to stop; true when one came.
    bool Asked(DWORD ms) const {
        if (!state_.asked) {
            Sleep(ms);
            return false;
        }
        return WaitForSingleObject(state_.asked.get(), ms) == WAIT_OBJECT_0;
    }

private:
    Stopping state_;
};

UniqueBstr Bstr(const std::wstring& text) {
    return UniqueBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

VARIANT Empty() {
    VARIANT v;
    VariantInit(&v);
    return v;
}

VARIANT Text(BSTR text) {
    VARIANT v = Empty();
    v.vt = VT_BSTR;
    v.bstrVal = text;
    return v;
}

std::wstring Failed(const wchar_t* what, HRESULT result) {
    wchar_t code[16];
    wsprintfW(code, L"0x%08X", static_cast<unsigned>(result));
    return std::wstring(what) + L" failed (" + code + L")";
}

class ComScope {
public:
    ComScope() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ComScope(ComScope&&) = delete;
    ComScope& operator=(ComScope&&) = delete;
    ~ComScope() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    HRESULT result() const { return result_; }

private:
    HRESULT result_;
};

// The task is removed on every way out once it was registered.
class RegisteredTask {
public:
    RegisteredTask(ITaskFolder* folder, std::wstring name) : folder_(folder), name_(std::move(name)) {}
    RegisteredTask(const RegisteredTask&) = delete;
    RegisteredTask& operator=(const RegisteredTask&) = delete;
    RegisteredTask(RegisteredTask&&) = delete;
    RegisteredTask& operator=(RegisteredTask&&) = delete;
    ~RegisteredTask() {
        if (task) {
            const UniqueBstr name = Bstr(name_);
            folder_->DeleteTask(name.get(), 0);
        }
    }
    UniqueCom<IRegisteredTask> task;

private:
    ITaskFolder* folder_;
    std::wstring name_;
};

// A definition that runs the program once, as the system account with its full rights, on demand.
std::wstring Define(ITaskService* service, const SystemRunFiles& files, UniqueCom<ITaskDefinition>& definition) {
    HRESULT result = service->NewTask(0, definition.out());
    if (FAILED(result)) return Failed(L"ITaskService::NewTask", result);
    UniqueCom<IPrincipal> principal;
    result = definition.get()->get_Principal(principal.out());
    const UniqueBstr system = Bstr(kSystemSid);
    if (SUCCEEDED(result)) result = principal.get()->put_UserId(system.get());
    if (SUCCEEDED(result)) result = principal.get()->put_LogonType(TASK_LOGON_SERVICE_ACCOUNT);
    if (SUCCEEDED(result)) result = principal.get()->put_RunLevel(TASK_RUNLEVEL_HIGHEST);
    if (FAILED(result)) return Failed(L"setting the task's account", result);
    UniqueCom<ITaskSettings> settings;
    const UniqueBstr limit = Bstr(kTaskTimeLimit);
    result = definition.get()->get_Settings(settings.out());
    if (SUCCEEDED(result)) result = settings.get()->put_ExecutionTimeLimit(limit.get());
    if (SUCCEEDED(result)) result = settings.get()->put_DisallowStartIfOnBatteries(VARIANT_FALSE);
    if (SUCCEEDED(result)) result = settings.get()->put_StopIfGoingOnBatteries(VARIANT_FALSE);
    if (SUCCEEDED(result)) result = settings.get()->put_Priority(kNormalPriority);
    if (FAILED(result)) return Failed(L"setting the task's limits", result);
    UniqueCom<IActionCollection> actions;
    UniqueCom<IAction> action;
    UniqueCom<IExecAction> exec;
    const UniqueBstr path = Bstr(files.program), arguments = Bstr(files.arguments), folder = Bstr(files.folder);
    result = definition.get()->get_Actions(actions.out());
    if (SUCCEEDED(result)) result = actions.get()->Create(TASK_ACTION_EXEC, action.out());
    if (SUCCEEDED(result)) {
        result = action.get()->QueryInterface(IID_IExecAction, reinterpret_cast<void**>(exec.out()));
    }
    if (SUCCEEDED(result)) result = exec.get()->put_Path(path.get());
    if (SUCCEEDED(result)) result = exec.get()->put_Arguments(arguments.get());
    if (SUCCEEDED(result)) result = exec.get()->put_WorkingDirectory(folder.get());
    return FAILED(result) ? Failed(L"setting the task's program", result) : std::wstring();
}

// What a growing file holds; it is open for writing by the run.
std::optional<std::string> ReadShared(const std::wstring& path) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxOutput) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() && !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) {
        return std::nullopt;
    }
    bytes.resize(got);
    return bytes;
}

// Prints the lines of the run's output that are complete and not yet printed.
class Tail {
public:
    explicit Tail(std::wstring path) : path_(std::move(path)) {}
    bool Seen() const { return seen_; }
    void Print() {
        const std::optional<std::string> bytes = ReadShared(path_);
        if (!bytes) return;
        seen_ = true;
        for (std::size_t end = bytes->find('\n', printed_); end != std::string::npos; end = bytes->find('\n', printed_)) {
            std::string line = bytes->substr(printed_, end - printed_);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const int need = MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
            std::wstring wide(static_cast<std::size_t>(need > 0 ? need : 0), L'\0');
            if (need > 0) MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(), need);
            verify::Print(wide);
            printed_ = end + 1;
        }
    }

private:
    std::wstring path_;
    std::size_t printed_ = 0;
    bool seen_ = false;
};

std::optional<std::pair<int, RunCounts>> EndingWritten(const std::wstring& path) {
    const std::optional<std::string> text = ReadShared(path);
    return text ? ParseCountsLine(*text) : std::nullopt;
}

}  // namespace

std::wstring CurrentAccount() {
    UniqueKernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return L"(unknown)";
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return L"(unknown)";
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    return AccountName(sid) + L" (" + SidText(sid) + L")";
}

SystemRunResult RunAsSystem(const SystemRunFiles& files) {
    SystemRunResult outcome;
    const ComScope com;
    if (FAILED(com.result())) {
        outcome.detail = Failed(L"CoInitializeEx", com.result());
        return outcome;
    }
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_IMP_LEVEL_IMPERSONATE,
                         nullptr, 0, nullptr);
    UniqueCom<ITaskService> service;
    HRESULT result = CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                      reinterpret_cast<void**>(service.out()));
    if (SUCCEEDED(result)) result = service.get()->Connect(Empty(), Empty(), Empty(), Empty());
    if (FAILED(result)) {
        outcome.detail = Failed(L"reaching the Task Scheduler", result);
        return outcome;
    }
    UniqueCom<ITaskFolder> root;
    const UniqueBstr rootName = Bstr(L"\\");
    result = service.get()->GetFolder(rootName.get(), root.out());
    if (FAILED(result)) {
        outcome.detail = Failed(L"ITaskService::GetFolder", result);
        return outcome;
    }
    UniqueCom<ITaskDefinition> definition;
    outcome.detail = Define(service.get(), files, definition);
    if (!outcome.detail.empty()) return outcome;

    const std::wstring name = L"ppkg-verify-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount64());
    const UniqueBstr taskName = Bstr(name), user = Bstr(kSystemSid);
    const ConsoleControl control;   // declared first: it goes last, once the task is deleted
    RegisteredTask registered(root.get(), name);
    result = root.get()->RegisterTaskDefinition(taskName.get(), definition.get(), TASK_CREATE, Text(user.get()), Empty(),
                                                TASK_LOGON_SERVICE_ACCOUNT, Empty(), registered.task.out());
    if (FAILED(result)) {
        outcome.detail = Failed(L"registering the task", result);
        return outcome;
    }
    UniqueCom<IRunningTask> running;
    result = registered.task.get()->Run(Empty(), running.out());
    if (FAILED(result)) {
        outcome.detail = Failed(L"running the task", result);
        return outcome;
    }
    Print(L"ppkg-verify: task \\" + name + L" started; its run follows (Ctrl+C stops and deletes it)");

    Tail tail(files.output);
    const ULONGLONG started = GetTickCount64();
    ULONGLONG idleSince = 0;
    for (;;) {
        if (control.Asked(kPollMs)) {
            registered.task.get()->Stop(0);
            tail.Print();
            outcome.detail = L"stopped by Ctrl+C or the console closing: the task was stopped and deleted";
            return outcome;
        }
        tail.Print();
        if (const std::optional<std::pair<int, RunCounts>> ending = EndingWritten(files.exitCode)) {
            tail.Print();
            outcome.verdict = Verdict::Pass;
            outcome.exitCode = ending->first;
            outcome.counts = ending->second;
            return outcome;
        }
        TASK_STATE state = TASK_STATE_UNKNOWN;
        LONG last = 0;
        registered.task.get()->get_State(&state);
        registered.task.get()->get_LastTaskResult(&last);
        const ULONGLONG now = GetTickCount64();
        const bool busy = state == TASK_STATE_RUNNING || state == TASK_STATE_QUEUED;
        idleSince = busy ? 0 : (idleSince == 0 ? now : idleSince);
        wchar_t lastText[16];
        wsprintfW(lastText, L"0x%08X", static_cast<unsigned>(last));
        if (!tail.Seen() && !busy && now - started > kStartMs) {
            outcome.detail = L"the Task Scheduler accepted the task but did not run it (state " +
                             std::to_wstring(state) + L", last result " + lastText + L")";
            return outcome;
        }
        if (tail.Seen() && idleSince != 0 && now - idleSince > kSettleMs) {
            outcome.verdict = Verdict::Fail;
            outcome.detail = L"the run as the system account ended without finishing (last result " +
                             std::wstring(lastText) + L")";
            return outcome;
        }
        if (now - started > kRunMs) {
            registered.task.get()->Stop(0);
            outcome.verdict = Verdict::Fail;
            outcome.detail = L"the run as the system account did not end within an hour: stopped";
            return outcome;
        }
    }
}

}  // namespace verify
