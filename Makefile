# Every target creates .venv with CPython 3.12 itself.
PY312 := $(shell for p in python3.12 $$HOME/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do $$p -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1 && { echo $$p; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: venv install test demo format clean bench bench-deps bench-tools bench-libmodbus bench-memory

$(VENV)/.ready: pyproject.toml
	@test -n "$(PY312)" || { echo "CPython 3.12 not found (python3.12)"; exit 1; }
	$(PY312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q scikit-build-core cmake ninja
	touch $@

venv: $(VENV)/.ready

# The library with its test extras; compiler warnings are errors.
install: venv
	$(PY) -m pip install -q --no-build-isolation -Ccmake.define.BREL_WERROR=ON '.[test]'

format: venv
	$(VENV)/bin/clang-format -i src/*/*.cpp src/*/*.hpp
	$(VENV)/bin/ruff check --fix .

test: install
	$(PY) -m pytest -q

demo: install
	$(PY) examples/demo.py

# ---- benchmarks (bench/README.md) ----
BENCH_BUILD := bench/build
BENCH_CFLAGS := -O2 -Wall -Wextra
BENCH_HEADERS := $(wildcard bench/c/*.h)
BENCH_ARGS ?=
MEMORY_ARGS ?=

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

bench-tools: $(BENCH_BUILD)/slave $(BENCH_BUILD)/client $(BENCH_BUILD)/libbenchcrc.so

$(VENV)/.bench-ready: bench/requirements.txt $(VENV)/.ready
	$(PY) -m pip install -q -r bench/requirements.txt
	touch $@

bench-deps: $(VENV)/.bench-ready

bench: install bench-deps bench-tools
	$(PY) bench/run.py $(BENCH_ARGS)

bench-memory: install bench-deps bench-tools
	$(PY) bench/memory.py $(MEMORY_ARGS)

clean:
	rm -rf build $(VENV) $(BENCH_BUILD)

# The whole test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# The interpreter itself is not instrumented: its own allocations are not ours to judge,
# so leak detection is off; every ASan or UBSan report aborts the run.
ASAN_BUILD := build/asan
.PHONY: sanitize
sanitize: venv
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DBREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
		-DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	$(PY) -m pip install -q --no-build-isolation --no-deps . >/dev/null  # brel_linkkit and the test imports
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so) $$(g++ -print-file-name=libstdc++.so.6)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc \
	PYTHONPATH=$(abspath $(ASAN_BUILD)) $(PY) -m pytest -q -p no:cacheprovider
