#pragma once

// The simulated provisioning store the stand-ins share; its folder comes from PPKG_BENCH_STORE.

#include <string>
#include <string_view>

namespace bench {

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

    bool load(const std::wstring& id, Package& out) const;
    bool save(const std::wstring& id, const Package& p) const;
    bool erase(const std::wstring& id) const;
    bool raw(const std::wstring& id, std::string& bytes) const;
    bool read(const std::wstring& name, std::string& bytes) const;

private:
    std::wstring path(std::wstring_view rel) const;
    std::wstring root_;
};

}  // namespace bench
