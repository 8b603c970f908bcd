#!/usr/bin/env bash
# The manylinux aarch64 wheel for CPython 3.11, cross-compiled on x86-64 and tested under
# emulation. Debian's aarch64 cross compiler builds the module against the headers of
# Debian's aarch64 CPython 3.11 (the one aarch64 interpreter Debian 12 ships); the build
# runs through scikit-build-core from the host's 3.11 venv (.venv-3.11), told the target's
# platform (_PYTHON_HOST_PLATFORM) and extension suffix (SETUPTOOLS_EXT_SUFFIX). auditwheel
# repairs and checks it, and the same aarch64 interpreter, run by qemu user mode, imports it
# from a fresh venv and runs the smoke test against the simulated slaves.
# Usage: release/build_wheel_aarch64.sh TEST_REQUIREMENTS, from the top of the tree.
set -euo pipefail
requirements=$1
version=3.11 tag=cp311
host_venv=.venv-$version
root=build/aarch64-root          # the aarch64 Debian packages, unpacked (not installed)
raw=build/wheel-raw-aarch64
smoke=build/venv-smoke-aarch64
tools=$PWD/.venv/bin

# 1. The cross compiler and qemu from Debian, when missing.
if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null; then
    apt-get update -qq && apt-get install -y -qq --no-install-recommends g++-aarch64-linux-gnu qemu-user
fi

# 2. Debian's aarch64 CPython 3.11 and the libraries it loads, downloaded with an apt state of
#    its own (the machine's architectures and package lists stay as they are) and unpacked.
if [ ! -x "$root/usr/bin/python$version" ]; then
    apt_state=build/aarch64-apt
    apt=(-o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o "Dir::State::Lists=$PWD/$apt_state/lists"
         -o "Dir::Cache=$PWD/$apt_state/cache" -o "Dir::State::status=$PWD/$apt_state/status")
    rm -rf "$apt_state" "$root"
    mkdir -p "$apt_state/lists/partial" "$apt_state/cache/archives/partial" "$apt_state/debs" "$root"
    touch "$apt_state/status"
    apt-get "${apt[@]}" update -qq
    (cd "$apt_state/debs" && apt-get "${apt[@]}" download -qq \
        libpython3.11-dev libpython3.11-stdlib libpython3.11-minimal python3.11-minimal python3.11 \
        libc6 libgcc-s1 libstdc++6 libexpat1 zlib1g libffi8 libssl3 libbz2-1.0 liblzma5 libsqlite3-0 \
        libncursesw6 libtinfo6 libreadline8 libuuid1 libcrypt1 libnsl2 libtirpc3 libdb5.3 libgdbm6 \
        libkrb5-3 libgssapi-krb5-2 libk5crypto3 libcom-err2 libkrb5support0 libkeyutils1)
    for deb in "$apt_state"/debs/*.deb; do dpkg-deb -x "$deb" "$root"; done
fi
target_python=("qemu-aarch64" -L "$root" "$root/usr/bin/python$version")
suffix=$("${target_python[@]}" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
echo "target: $("${target_python[@]}" -c 'import platform, sys; print(platform.machine(), sys.version.split()[0])'), suffix $suffix"

# 3. The wheel, cross-compiled.
make --no-print-directory "$host_venv/.ready"
rm -rf "$raw" "$smoke"
rm -f dist/brel_modbus-*-"$tag"-"$tag"-*aarch64.whl
# (Debian's pyconfig.h includes <aarch64-linux-gnu/python3.11/pyconfig.h>: the unpacked
# include folder comes after the cross compiler's own.)
CXXFLAGS="-idirafter $PWD/$root/usr/include" _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=$suffix \
    "$host_venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
    -Ccmake.define.BREL_WERROR=ON -Cbuild-dir=build/aarch64 \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/release/aarch64-toolchain.cmake" \
    -Ccmake.define.Python_INCLUDE_DIR="$PWD/$root/usr/include/python$version" .
PATH="$tools:$PATH" "$tools/auditwheel" show "$raw"/*.whl
PATH="$tools:$PATH" "$tools/auditwheel" repair -w dist "$raw"/*.whl
wheel=$(ls dist/brel_modbus-*-"$tag"-"$tag"-*aarch64.whl)
"$tools/python" release/check_wheel.py "$wheel" "$version"

# 4. Under emulation: a venv of the aarch64 interpreter (without pip: Debian keeps ensurepip
#    apart), filled by the host's pip for the aarch64 platform, then the smoke test.
"${target_python[@]}" -m venv --without-pip "$smoke"
site=$smoke/lib/python$version/site-packages
"$tools/python" -m pip install -q --target "$site" --platform manylinux_2_24_aarch64 --platform manylinux2014_aarch64 --python-version "$version" \
    --implementation cp --abi "$tag" --only-binary=:all: "$wheel" "$(grep -o '^pymodbus==[0-9.]*' "$requirements")" \
    "$(grep -o '^pytest==[0-9.]*' "$requirements")"
here=$PWD
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
cp release/smoke_test.py examples/simulator.py "$folder"/
(cd "$folder" && env -u PYTHONPATH qemu-aarch64 -L "$here/$root" "$here/$smoke/bin/python" -s smoke_test.py "$here")
# Then the protocol tests, in one process (tests that start a child interpreter need the
# kernel to run aarch64 programs by itself, binfmt_misc, which this container lacks).
mkdir "$folder/tree" && cp -r tests examples "$folder/tree"/
(cd "$folder/tree" && env -u PYTHONPATH qemu-aarch64 -L "$here/$root" "$here/$smoke/bin/python" -s \
    -m pytest -q -p no:cacheprovider tests/test_protocol.py)
