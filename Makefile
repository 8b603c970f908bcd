# Every target creates .venv with CPython 3.12 itself.
PY312 := $(shell for p in python3.12 $$HOME/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do $$p -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1 && { echo $$p; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: venv install test demo clean

$(VENV)/.ready: pyproject.toml
	@test -n "$(PY312)" || { echo "CPython 3.12 not found (python3.12)"; exit 1; }
	$(PY312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q scikit-build-core cmake ninja
	$(PY) -m pip install -q -r requirements-test.txt
	touch $@

venv: $(VENV)/.ready

install: venv
	$(PY) -m pip install -q --no-build-isolation .

test: install
	$(PY) -m pytest -q

clean:
	rm -rf build $(VENV)
