// runner.exe OUTFILE [--env NAME=VALUE]... [--cwd DIR] [--timeout MS] [--stdout FILE] [--time] [--peak]
//            [--raw] -- PROGRAM [ARGS...]
// Starts PROGRAM and writes its full 32-bit exit code to OUTFILE: `wine` itself hands back only
// the low byte. TMP/TEMP must go through here too, since Wine replaces the Unix ones. With
// --stdout, the program's output and errors go to FILE instead of Wine's own output.
// --time adds a line "elapsed_us=N": from just before the start to the end of the wait, and
// the performance-counter readings at both ends (started_qpc, ended_qpc).
// --peak adds a line "peak_bytes=N": the child's peak working set, sampled every millisecond
// while it runs (an ended process reports none), so only for runs that are not timed.
// --raw puts ARGS on the command line as they are, with a blank between them and no quoting:
// for cmd.exe /c, whose quotes follow rules of their own.


#include <algorithm>
#include <string>
#include <vector>

#include "../common/Win.h"

#include <psapi.h>

namespace {

// Quotes one argument so that CommandLineToArgvW / the C runtime give it back unchanged.
std::wstring quoteArg(const std::wstring& a) {
    if (!a.empty() && a.find_first_of(L" \t\n\v\"") == std::wstring::npos) return a;
    std::wstring r = L"\"";
    for (size_t i = 0;; ++i) {
        size_t slashes = 0;
        while (i < a.size() && a[i] == L'\\') { ++i; ++slashes; }
        if (i == a.size()) {
            r.append(slashes * 2, L'\\');
            break;
        }
        if (a[i] == L'"') {
            r.append(slashes * 2 + 1, L'\\');
        } else {
            r.append(slashes, L'\\');
        }
        r += a[i];
    }
    r += L'"';
    return r;
}

// argv[0] is parsed without escapes: quotes only group blanks.
std::wstring quoteProgram(const std::wstring& p) {
    if (!p.empty() && p.find_first_of(L" \t") == std::wstring::npos) return p;
    return L"\"" + p + L"\"";
}

// Name part of "NAME=VALUE"; Windows keeps per-drive entries like "=C:=C:\x", so skip a leading '='.
std::wstring_view envName(std::wstring_view e) {
    size_t eq = e.find(L'=', 1);
    return e.substr(0, eq == std::wstring_view::npos ? e.size() : eq);
}

bool sameName(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

class EnvStrings {
public:
    EnvStrings() : p_(GetEnvironmentStringsW()) {}
    ~EnvStrings() { if (p_) FreeEnvironmentStringsW(p_); }
    EnvStrings(const EnvStrings&) = delete;
    EnvStrings& operator=(const EnvStrings&) = delete;
    const wchar_t* get() const { return p_; }

private:
    wchar_t* p_;
};

std::wstring buildEnvironment(const std::vector<std::wstring>& overrides) {
    std::vector<std::wstring> vars;
    EnvStrings env;
    for (const wchar_t* p = env.get(); p && *p; p += wcslen(p) + 1) vars.emplace_back(p);
    for (const std::wstring& o : overrides) {
        auto it = std::find_if(vars.begin(), vars.end(),
                               [&](const std::wstring& v) { return sameName(envName(v), envName(o)); });
        if (it != vars.end()) *it = o;
        else vars.push_back(o);
    }
    // CreateProcessW expects the block sorted by name, case-insensitively.
    std::stable_sort(vars.begin(), vars.end(), [](const std::wstring& a, const std::wstring& b) {
        std::wstring_view x = envName(a), y = envName(b);
        return CompareStringOrdinal(x.data(), static_cast<int>(x.size()), y.data(), static_cast<int>(y.size()),
                                    TRUE) == CSTR_LESS_THAN;
    });
    std::wstring block;
    for (const std::wstring& v : vars) {
        block += v;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

int usage() {
    static const char msg[] =
        "usage: runner OUTFILE [--env N=V]... [--cwd DIR] [--timeout MS] [--stdout FILE] [--time] [--peak]"
        " [--raw] -- PROGRAM [ARGS...]\n";
    DWORD put = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), msg, sizeof msg - 1, &put, nullptr);
    return 2;
}

}  // namespace

int wmain() {
    int argc = 0;
    bench::LocalMem<LPWSTR*> argvMem(CommandLineToArgvW(GetCommandLineW(), &argc));
    LPWSTR* argv = argvMem.get();
    if (!argv || argc < 4) return usage();

    std::wstring outFile = argv[1];
    std::vector<std::wstring> overrides;
    std::wstring cwd, stdoutFile;
    DWORD timeoutMs = 120000;
    bool time = false, peak = false, raw = false;
    int i = 2;
    for (; i < argc; ++i) {
        std::wstring_view a = argv[i];
        if (a == L"--") break;
        if (a == L"--time" || a == L"--peak" || a == L"--raw") {
            (a == L"--time" ? time : a == L"--peak" ? peak : raw) = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        if (a == L"--env") overrides.emplace_back(argv[++i]);
        else if (a == L"--cwd") cwd = argv[++i];
        else if (a == L"--timeout") timeoutMs = static_cast<DWORD>(_wtoi(argv[++i]));
        else if (a == L"--stdout") stdoutFile = argv[++i];
        else return usage();
    }
    if (i + 1 >= argc) return usage();

    std::wstring cmd = quoteProgram(argv[i + 1]);
    for (int j = i + 2; j < argc; ++j) cmd += L' ' + (raw ? std::wstring(argv[j]) : quoteArg(argv[j]));

    std::wstring env = buildEnvironment(overrides);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    bench::Handle output;
    if (!stdoutFile.empty()) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        output = bench::Handle(CreateFileW(stdoutFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!output.valid()) return usage();
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = output.get();
    }
    LARGE_INTEGER frequency{}, started{}, ended{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, output.valid(), CREATE_UNICODE_ENVIRONMENT, env.data(),
                        cwd.empty() ? nullptr : cwd.c_str(), &si, &pi)) {
        bench::writeFile(outFile, "exit=start-failed " + std::to_string(GetLastError()) + "\n");
        return 1;
    }
    bench::Handle process(pi.hProcess), thread(pi.hThread);
    SIZE_T peakBytes = 0;
    DWORD waited = WAIT_TIMEOUT;
    if (peak) {
        for (DWORD slept = 0; slept < timeoutMs && waited == WAIT_TIMEOUT; ++slept) {
            PROCESS_MEMORY_COUNTERS counters{};
            counters.cb = sizeof counters;
            if (GetProcessMemoryInfo(process.get(), &counters, sizeof counters))
                peakBytes = std::max(peakBytes, counters.PeakWorkingSetSize);
            waited = WaitForSingleObject(process.get(), 1);
        }
    } else {
        waited = WaitForSingleObject(process.get(), timeoutMs);
    }
    QueryPerformanceCounter(&ended);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 0xDEAD);
        WaitForSingleObject(process.get(), 5000);
        bench::writeFile(outFile, "exit=timeout\n");
        return 1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    std::string result = "exit=" + std::to_string(code) + "\n";
    if (time) {
        result += "elapsed_us=" +
                  std::to_string((ended.QuadPart - started.QuadPart) * 1000000 / frequency.QuadPart) + "\n" +
                  "started_qpc=" + std::to_string(started.QuadPart) + "\nended_qpc=" + std::to_string(ended.QuadPart) +
                  "\n";
    }
    if (peak) result += "peak_bytes=" + std::to_string(peakBytes) + "\n";
    return bench::writeFile(outFile, result) ? 0 : 1;
}
