#!/usr/bin/env bash
# What this Linux machine can check of the wheels it cannot build (macOS, Windows), before a
# CI with those runners builds them (the cibuildwheel settings of pyproject.toml):
#   1. every source file, binding frame included, compiled (syntax and warnings, -Werror) by
#      clang against libc++, the C++ library of macOS, instead of libstdc++, with the 3.12
#      headers;
#   2. the plain C++ core (the headers without Python.h) and its C++ test compiled for
#      Windows by MinGW-w64's g++ (-Werror).
# Not checked: MSVC itself, the macOS SDK, Windows' CPython headers (none of them is on this
# machine), so neither the binding frame nor the socket stream's _WIN32 branch is compiled
# for Windows. Installs clang, libc++ and MinGW-w64 from Debian when missing.
# Usage: release/check_portability.sh PYTHON (a CPython 3.12 whose headers to use).
set -euo pipefail
python=$1
if ! command -v clang++ >/dev/null || ! dpkg -s libc++-14-dev >/dev/null 2>&1 || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    apt-get update -qq && apt-get install -y -qq --no-install-recommends clang libc++-14-dev libc++abi-14-dev g++-mingw-w64-x86-64-posix
fi
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')

count=0
for source in src/*/*.cpp; do
    clang++ -std=c++20 -stdlib=libc++ -fsyntax-only -Wall -Wextra -Werror -Isrc -isystem "$include" "$source"
    count=$((count + 1))
done
echo "libc++ (macOS's C++ library): $count source files compile"

core=(adu crc16 frames plan tcp_exchange values)
for header in "${core[@]}"; do
    printf '#include "modbus/%s.hpp"\n' "$header" |
        x86_64-w64-mingw32-g++-posix -std=c++20 -fsyntax-only -Wall -Wextra -Werror -Isrc -x c++ -
done
x86_64-w64-mingw32-g++-posix -std=c++20 -fsyntax-only -Wall -Wextra -Werror -Isrc tests/core/exchange_test.cpp
echo "MinGW-w64 (Windows): the core headers (${core[*]}) and tests/core/exchange_test.cpp compile"
