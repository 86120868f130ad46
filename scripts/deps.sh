# Installs the Debian packages the build and the tests need, only those missing.
# Sourced by scripts/test, scripts/demo and scripts/fuzz.
PPKG_PACKAGES=(cmake ninja-build g++ libgtest-dev g++-mingw-w64-x86-64 wine wine64 python3 python3-cryptography git osslsigncode openssl
               clang-14 libclang-rt-14-dev libfuzzer-14-dev clang clang-tidy cppcheck)

ppkg_install_deps() {
    local missing=()
    local package
    for package in "${PPKG_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    # The release test validates the SBOM with an npm package: Node.js and npm from Debian, unless
    # some other install already gives the commands.
    command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

ppkg_build() {
    cmake --preset native >/dev/null
    cmake --build --preset native
    ppkg_build_windows
}

# The shipped exe and the bench exes only: all the demo needs.
ppkg_build_windows() {
    cmake --preset windows >/dev/null
    cmake --build --preset windows
}
