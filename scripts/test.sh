#!/usr/bin/env bash
# Runs every test: the C++ core suite (CTest) and the Python suite (pytest)
# against the module as `pip install .` installs it.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${VELTRINAX_TEST_BUILD_DIR:-build/tests}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELTRINAX_BUILD_TESTS=ON -DVELTRINAX_WERROR=ON >/dev/null
cmake --build "$build_dir"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"

python3 -m pip install --quiet .
python3 -m pytest -q tests/python
