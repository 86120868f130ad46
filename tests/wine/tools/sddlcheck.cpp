// sddlcheck.exe OUTFILE SDDL
// Wine stores no descriptors, so the one thing the bench can check about a DACL is that its
// SDDL text parses and converts back to the same text.

#include "../common/Win.h"

#include <sddl.h>

#include <string>

int wmain() {
    int argc = 0;
    bench::LocalMem<LPWSTR*> argvMem(CommandLineToArgvW(GetCommandLineW(), &argc));
    LPWSTR* argv = argvMem.get();
    if (!argv || argc != 3) return 2;

    std::string result;
    bench::LocalMem<PSECURITY_DESCRIPTOR> sd;
    bench::LocalMem<LPWSTR> text;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[2], SDDL_REVISION_1, sd.out(), nullptr)) {
        result = "failed " + std::to_string(GetLastError());
    } else if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.get(), SDDL_REVISION_1,
                                                                    DACL_SECURITY_INFORMATION, text.out(), nullptr)) {
        result = "failed " + std::to_string(GetLastError());
    } else {
        result = bench::toUtf8(text.get());
    }
    return bench::writeFile(argv[1], result + "\n") ? 0 : 1;
}
