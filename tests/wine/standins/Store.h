#pragma once

// The simulated provisioning store the stand-ins share; its folder comes from PPKG_BENCH_STORE.

#include <string>
#include <string_view>
#include <vector>

namespace bench {

// One entry of a fault plan: a name and its arguments, split at blanks. Empty name: no fault.
struct Fault {
    std::string name;
    std::vector<std::string> args;
    bool is(std::string_view n) const { return name == n; }
    // The argument at `i` as a number, or `fallback` when it is missing or not one.
    unsigned long number(size_t i, unsigned long fallback = 0) const;
};

struct Package {
    std::string version;          // UTF-8, may be empty
    std::string installed = "True";
    bool removable = true;
};

class Store {
public:
    // Empty root when PPKG_BENCH_STORE is unset: every lookup then misses and logging is dropped.
    Store();

    bool has(const std::wstring& name) const;  // a file or flag directly in the store
    void log(std::wstring_view line) const;
    // How this stand-in was started, exactly: its own path and its raw command line
    // (commands.txt), so that a bench can start the same commands again.
    void trace() const;

    // Fault plan of a soak run: the folder "faults" holds one queue per kind of start
    // ("query", "remove", "provtool"), one fault a line; each start takes the first line of its
    // queue. Without the folder, or with the queue empty, nothing is injected.
    Fault takeFault(std::wstring_view kind) const;
    // "slow MS": the start waits before doing its work, as a busy tool would.
    void delay(std::wstring_view kind, const Fault& fault) const;
    // A fault that changed what this start did, for the soak's count (faults\applied.txt).
    void noteFault(std::wstring_view kind, const Fault& fault, std::string_view effect) const;
    // What a query answered (faults\answers.txt): whether the store held the package and the
    // exact bytes written, or nothing written at all.
    void noteAnswer(std::wstring_view id, bool held, const std::string* written) const;

    bool load(const std::wstring& id, Package& out) const;
    bool save(const std::wstring& id, const Package& p) const;
    bool erase(const std::wstring& id) const;
    bool raw(const std::wstring& id, std::string& bytes) const;
    bool read(const std::wstring& name, std::string& bytes) const;

private:
    std::wstring path(std::wstring_view rel) const;
    void append(std::wstring_view rel, std::string_view line) const;
    std::wstring root_;
};

}  // namespace bench
