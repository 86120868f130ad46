// Stand-in for provtool.exe: logs how it was started, then "applies" the package by writing the
// store entries listed in apply.txt - only when the package file sits in its current directory,
// since the launcher names it relative to its own working folder.

#include <string>
#include <vector>

#include "../common/Win.h"
#include "Store.h"

namespace {

std::vector<std::string> splitOn(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t pos = 0;
    for (;;) {
        size_t e = s.find(sep, pos);
        out.push_back(s.substr(pos, e == std::string::npos ? std::string::npos : e - pos));
        if (e == std::string::npos) return out;
        pos = e + 1;
    }
}

}  // namespace

int wmain() {
    bench::Store store;
    store.log(GetCommandLineW());
    store.trace();
    const bench::Fault fault = store.takeFault(L"provtool");
    store.delay(L"provtool", fault);

    std::string plan;
    if (!bench::fileExists(L"Norv_CML_PPM_Package.ppkg") || !store.read(L"apply.txt", plan)) return 0;
    if (fault.is("noop")) {
        if (plan.find_first_not_of("\r\n") != std::string::npos) store.noteFault(L"provtool", fault, "nothing applied");
        return 0;
    }
    // One "<id> <version> [installed]" per line, split on single blanks so an empty version
    // can still be followed by an installed value.
    for (std::string line : splitOn(plan, '\n')) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::vector<std::string> f = splitOn(line, ' ');
        bench::Package p;
        if (f.size() > 1) p.version = f[1];
        if (f.size() > 2) p.installed = f[2];
        store.save(bench::fromUtf8(f[0]), p);
    }
    return 0;
}
