# Shared by the project's scripts: installs what a fresh Debian machine lacks.
# shellcheck shell=bash

say() { printf '==> %s\n' "$*" >&2; }

# ensure_packages CMD=PACKAGE ...: installs PACKAGE when CMD is not on PATH
# (or, for a path, when it does not exist).
ensure_packages() {
    local missing=() pair cmd pkg
    for pair in "$@"; do
        cmd=${pair%%=*}
        pkg=${pair#*=}
        if [[ $cmd == /* ]]; then
            [[ -e $cmd ]] && continue
        elif command -v "$cmd" >/dev/null 2>&1; then
            continue
        fi
        missing+=("$pkg")
    done
    ((${#missing[@]})) || return 0
    say "installing ${missing[*]}"
    if [[ ! -f /var/lib/apt/lists/.vorlix-updated ]]; then
        apt-get update -qq >&2
        touch /var/lib/apt/lists/.vorlix-updated
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
}

ensure_native_tools() {
    ensure_packages cmake=cmake ninja=ninja-build g++=g++ \
        /usr/src/googletest/CMakeLists.txt=googletest
}

# Enough to build Vorlix.exe, without running anything.
ensure_cross_tools() {
    ensure_packages cmake=cmake ninja=ninja-build \
        x86_64-w64-mingw32-g++-posix=g++-mingw-w64-x86-64-posix \
        /usr/share/mingw-w64/include/wbemidl.h=mingw-w64-x86-64-dev \
        x86_64-w64-mingw32-windres=binutils-mingw-w64-x86-64
}

ensure_windows_tools() {
    ensure_cross_tools
    ensure_packages wine=wine /usr/lib/wine/wine64=wine64
}

# The project version, from the one place it is written: CMakeLists.txt.
vorlix_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
project_version() {
    sed -n 's/^project(Vorlix VERSION \([0-9]*\.[0-9]*\)[ )].*/\1/p' "$vorlix_root/CMakeLists.txt"
}
