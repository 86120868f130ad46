// regread.exe OUTFILE KEYPATH VALUENAME
// Reads one HKLM value from the 64-bit view and writes its type, size and exact bytes, so the
// bench can check the terminator and encoding that `reg query` would hide.


#include <string>
#include <vector>

#include "../common/Win.h"

int wmain() {
    int argc = 0;
    bench::LocalMem<LPWSTR*> argvMem(CommandLineToArgvW(GetCommandLineW(), &argc));
    LPWSTR* argv = argvMem.get();
    if (!argv || argc != 4) return 2;

    std::string result;
    bench::RegKey key;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, argv[2], 0, KEY_READ | KEY_WOW64_64KEY, key.out());
    if (rc == ERROR_FILE_NOT_FOUND) {
        result = "absent-key";
    } else if (rc != ERROR_SUCCESS) {
        result = "error open " + std::to_string(rc);
    } else {
        DWORD type = 0, size = 0;
        std::vector<BYTE> data;
        do {
            data.resize(size);
            rc = RegQueryValueExW(key.get(), argv[3], nullptr, &type, data.empty() ? nullptr : data.data(), &size);
        } while (rc == ERROR_MORE_DATA || (rc == ERROR_SUCCESS && size > data.size()));
        if (rc == ERROR_FILE_NOT_FOUND) {
            result = "absent-value";
        } else if (rc != ERROR_SUCCESS) {
            result = "error query " + std::to_string(rc);
        } else {
            static const char hex[] = "0123456789abcdef";
            result = "type=" + std::to_string(type) + " size=" + std::to_string(size) + " data=";
            for (DWORD i = 0; i < size; ++i) {
                result += hex[data[i] >> 4];
                result += hex[data[i] & 15];
            }
        }
    }
    return bench::writeFile(argv[1], result + "\n") ? 0 : 1;
}
