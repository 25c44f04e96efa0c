#!/usr/bin/env bash
# Runs the libFuzzer harnesses of a build made with -DVELTRINAX_FUZZ=ON.
#
#   fuzz/run.sh smoke BUILD_DIR [SECONDS]            every harness in turn (default 5 s each, three
#                                                    times as long for planner_shapes);
#                                                    the first crash, leak, timeout or
#                                                    sanitizer report fails the run
#   fuzz/run.sh long BUILD_DIR [SECONDS] [PARALLEL]  every harness for SECONDS (default 600),
#                                                    PARALLEL at a time (default 4), in fork
#                                                    mode so that a crash is saved and the
#                                                    run goes on; prints a table of figures.
#                                                    Configures and builds BUILD_DIR (clang,
#                                                    ASan+UBSan, -O1) if it holds no build
#   fuzz/run.sh merge BUILD_DIR SEED_DIR...          minimises the committed corpus together
#                                                    with SEED_DIR/<harness> (fuzz/prepare.py)
#
# Inputs: the committed corpus fuzz/corpus/<harness>, the JSON parsing suite in
# ../shared/testdata (read in place), the dictionary fuzz/contracts.dict. Work
# files (new inputs, crash artefacts, logs) go to BUILD_DIR/fuzz-work/<harness>.
set -euo pipefail
cd "$(dirname "$0")/.."

HARNESSES=(dataset_schema model_input adapter_registry plan_request data_plan relation_table fold_set
           value envelope planner planner_shapes fold_check envelope_build)
mode=${1:?mode: smoke, long or merge}
build=${2:?build directory}
suite=../shared/testdata/JSONTestSuite
extra=()
if [ -d "$suite" ]; then
  extra=("$suite/test_parsing" "$suite/test_transform")
else
  echo "note: $suite not found, fuzzing without it" >&2
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
common=(-dict=fuzz/contracts.dict -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)

# Configures and builds the fuzzers with clang and the sanitizers when BUILD_DIR
# holds no build yet (an existing build is brought up to date as it is).
ensure_built() {
  if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=${CC:-clang-16} CXX=${CXX:-clang++-16} cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -gline-tables-only" -DVELTRINAX_SANITIZE=address,undefined \
      -DVELTRINAX_FUZZ=ON >/dev/null
  fi
  cmake --build "$build" --target veltrinax_fuzzers >/dev/null
}

binary() {
  local bin="$build/fuzz/fuzz_$1"
  [ -x "$bin" ] || { echo "missing $bin (configure with -DVELTRINAX_FUZZ=ON)" >&2; exit 2; }
  echo "$bin"
}

# One harness for $2 seconds; $3 = smoke or long. Leaves log, cpu time and artefacts.
run_one() {
  local harness=$1 seconds=$2 how=$3 bin work
  bin=$(binary "$harness")
  work="$build/fuzz-work/$harness"
  mkdir -p "$work/corpus" "$work/artifacts"
  local options=("${common[@]}" -max_total_time="$seconds" -artifact_prefix="$work/artifacts/")
  local seeds=("$work/corpus" "fuzz/corpus/$harness" "${extra[@]}")
  if [ "$how" = long ]; then
    options+=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
  else
    # libFuzzer counts the time from its start and runs every input it starts
    # from before it mutates one, so a smoke run started from a whole corpus
    # may only replay it (the C++ tests replay every committed input anyway).
    # It starts from every eighth committed input instead, and from the JSON
    # parsing suite where the harness reads JSON (planner_shapes decodes bytes).
    rm -rf "$work/seeds" && mkdir -p "$work/seeds"
    find "fuzz/corpus/$harness" -type f | sort | awk 'NR % 8 == 1' | xargs -r cp -t "$work/seeds"
    seeds=("$work/seeds")
    [ "$harness" = planner_shapes ] || seeds+=("${extra[@]}")
  fi
  local status=0
  { TIMEFORMAT='%U %S %R'; time "$bin" "${options[@]}" "$work/corpus" "${seeds[@]}" \
      >"$work/log" 2>&1; } 2>"$work/time" || status=$?
  return $status
}

# Whether a smoke run went on past its first pass: it executed more units than
# the inputs it started from.
mutated() {
  local log="$1/log" initial executed
  initial=$(sed -n 's/^#\([0-9]*\)[[:space:]]*INITED.*/\1/p' "$log" | head -n 1)
  executed=$(sed -n 's/^stat::number_of_executed_units: \([0-9]*\)/\1/p' "$log" | tail -n 1)
  [ -n "$initial" ] && [ -n "$executed" ] && [ "$executed" -gt "$initial" ]
}

# One row of figures per harness, from its log and times.
figures() {
  python3 - "$build" "${HARNESSES[@]}" <<'EOF'
import pathlib, re, sys
build = pathlib.Path(sys.argv[1])
print("| harness | executions | cov | ft | corpus | crashes | CPU s | wall s |")
print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
for harness in sys.argv[2:]:
    work = build / "fuzz-work" / harness
    if not (work / "log").exists():
        continue
    execs = cov = ft = corp = "?"
    for line in (work / "log").read_text(errors="replace").splitlines():
        m = re.match(r"#(\d+):?\s+\S*\s*cov: (\d+) ft: (\d+) corp: (\d+)", line)
        if m:
            execs, cov, ft, corp = m.groups()
        m = re.match(r"stat::number_of_executed_units: (\d+)", line)
        if m:
            execs = m.group(1)
    crashes = len([p for p in (work / "artifacts").iterdir()]) if (work / "artifacts").exists() else 0
    user, system, wall = ((work / "time").read_text().split() + ["?"] * 3)[:3]
    cpu = f"{float(user) + float(system):.0f}" if user != "?" else "?"
    print(f"| {harness} | {execs} | {cov} | {ft} | {corp} | {crashes} | {cpu} | {wall} |")
EOF
}

case "$mode" in
  smoke)
    seconds=${3:-5}
    for harness in "${HARNESSES[@]}"; do
      share=$seconds
      # Its inputs plan up to seven times beside the plain planner: some 20
      # executions a second under the sanitizers at -O0, so it gets three shares.
      [ "$harness" = planner_shapes ] && share=$((3 * seconds))
      if ! run_one "$harness" "$share" smoke; then
        echo "fuzz_$harness failed:" >&2
        tail -n 60 "$build/fuzz-work/$harness/log" >&2
        exit 1
      fi
      if ! mutated "$build/fuzz-work/$harness"; then
        echo "fuzz_$harness only replayed its inputs in $share s, mutating none:" >&2
        tail -n 20 "$build/fuzz-work/$harness/log" >&2
        exit 1
      fi
    done
    figures
    ;;
  long)
    ensure_built
    seconds=${3:-600}
    parallel=${4:-4}
    printf '%s\n' "${HARNESSES[@]}" | xargs -P "$parallel" -I{} bash fuzz/run.sh one "$build" {} "$seconds" || true
    figures
    for harness in "${HARNESSES[@]}"; do
      ls "$build/fuzz-work/$harness/artifacts" | sed "s|^|$harness: |"
    done
    ;;
  one)  # one harness of a long run, for the parallel runner above
    run_one "$3" "$4" long || true
    ;;
  merge)
    shift 2
    for harness in "${HARNESSES[@]}"; do
      bin=$(binary "$harness")
      fresh=$(mktemp -d)
      sources=()
      for dir in "$@"; do [ -d "$dir/$harness" ] && sources+=("$dir/$harness"); done
      "$bin" -set_cover_merge=1 -rss_limit_mb=2048 -timeout=10 "$fresh" "fuzz/corpus/$harness" "${sources[@]}" \
        >"$build/merge-$harness.log" 2>&1
      rm -rf "fuzz/corpus/$harness"
      mv "$fresh" "fuzz/corpus/$harness"
      chmod 755 "fuzz/corpus/$harness"
      echo "$harness: $(ls "fuzz/corpus/$harness" | wc -l) inputs"
    done
    ;;
  *)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac
