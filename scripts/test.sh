#!/usr/bin/env bash
# Runs every test, on a fresh machine too: installs what is missing, then
#   1. builds the abi3 wheel (gcc, warnings as errors), checks that it uses the
#      stable ABI only, installs it and runs the Python tests against it;
#   2. builds the core and the budget's tests at scale in Release (gcc, warnings
#      as errors) and runs them: planning calls of tens of millions of units held
#      against the plain rules;
#   3. builds the core, the C++ tests and the fuzz harnesses with clang under
#      AddressSanitizer and UndefinedBehaviorSanitizer, runs the C++ tests and
#      replays the fuzz corpus under them, then fuzzes every harness briefly.
# Any failure, warning in our code or sanitizer report stops the run.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for pkg in libgtest-dev libssl-dev clang-16 libclang-rt-16-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
if [ ${#missing[@]} -gt 0 ]; then
  as_root apt-get update -qq
  as_root apt-get install -y -qq "${missing[@]}"
fi
python3 -m pip install --quiet "pytest==9.0.3" "hypothesis==6.155.2" "abi3audit==0.0.26" \
  "scikit-build-core>=0.10"

echo "== wheel and Python tests"
# The wheel's build compiles the core and the module with gcc, warnings as errors.
rm -rf build/dist
python3 -m pip wheel --quiet --no-deps -w build/dist -C cmake.define.VELTRINAX_WERROR=ON .
wheel=$(ls build/dist/veltrinax-*-cp311-abi3-*.whl)
abi3audit --strict --report "$wheel"
# The module exports its entry point and nothing else: no symbol of the core or of
# libstdc++ that could bind to another library's, and no GNU-unique symbol, which
# would keep the module loaded for the life of the process. The export list is
# anonymous, so the linker adds no version definition symbol to this list.
module_dir=$(mktemp -d)
python3 - "$wheel" "$module_dir" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    names = [n for n in wheel.namelist() if n.startswith("_veltrinax.") and n.endswith(".so")]
    if len(names) != 1:
        sys.exit(f"expected one _veltrinax module in the wheel, found {names}")
    wheel.extract(names[0], sys.argv[2])
EOF
module=$(ls "$module_dir"/_veltrinax.*.so)
exported=$(nm -D --defined-only "$module" | awk '{print $NF}')
if [ "$exported" != "PyInit__veltrinax" ]; then
  echo "the module must export PyInit__veltrinax alone; it exports:" >&2
  echo "$exported" >&2
  exit 1
fi
if readelf --dyn-syms -W "$module" | grep -q UNIQUE; then
  echo "the module has GNU-unique dynamic symbols:" >&2
  readelf --dyn-syms -W "$module" | grep UNIQUE >&2
  exit 1
fi
rm -rf "$module_dir"
python3 -m pip install --quiet --force-reinstall --no-deps "$wheel"
python3 -m pytest -q -p no:cacheprovider tests/python

echo "== the work budget at scale (Release)"
release=build/release
cmake -S . -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRINAX_WERROR=ON -DVELTRINAX_BUILD_TESTS=ON \
  -DVELTRINAX_SCALE_TESTS=ON >/dev/null
cmake --build "$release" --target veltrinax_scale_tests
ctest --test-dir "$release" -L scale --output-on-failure

echo "== sanitizers and fuzzing"
# The C++ tests run here, under the sanitizers, with clang (the wheel above
# covers gcc). Line tables only, for readable reports, and -O0, which keeps this
# build short on few cores; the smoke run needs coverage, not speed.
sanitize=build/sanitize
CC=clang-16 CXX=clang++-16 cmake -S . -B "$sanitize" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -gline-tables-only" -DVELTRINAX_WERROR=ON \
  -DVELTRINAX_BUILD_TESTS=ON -DVELTRINAX_SANITIZE=address,undefined -DVELTRINAX_FUZZ=ON >/dev/null
cmake --build "$sanitize" --target veltrinax_core_tests veltrinax_fuzz_replay veltrinax_fuzzers
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir "$sanitize" --output-on-failure -j "$(nproc)"
bash fuzz/run.sh smoke "$sanitize" 5
echo "== all tests passed"
