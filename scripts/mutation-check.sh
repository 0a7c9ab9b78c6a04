#!/usr/bin/env bash
# Mutation self-check: applies each realistic fault of scripts/mutants/ to the committed tree and
# asks whether the deterministic simulator (and, with --ctest, the CTest suite) notices it.
#
#   scripts/mutation-check.sh [options] [PATTERN...]
#     PATTERN        run only the mutants whose file name contains one of the patterns
#     --seeds N      fresh seeds 1..N after the regression seeds (default 3000; 0: none)
#     --budget S     real seconds the fresh seeds of one mutant may take (default 120)
#     --ctest        also build the tests and run `ctest -j2` for each mutant
#     --no-sim       skip the simulator (with --ctest: the CTest suite alone)
#     --jobs J       build jobs (default 2)
#     --tree DIR     the scratch worktree (default build/mutation/tree); its build is DIR/build/release
#     --out FILE     the table, also written here (default build/mutation/results.txt); the
#                    logs go to a directory of the same name, .logs for .txt
#     --list         list the mutants and what each models, then stop
#
# The scratch worktree is checked out at the repository's HEAD (uncommitted changes are not
# seen) and builds incrementally with the release preset: each mutant is applied, only what it
# touches is rebuilt, it is run, and the tree is reverted, also when the script is interrupted.
# The unmutated tree is run first: a seed or test that fails there kills no mutant.
#
# A mutant is killed by the simulator when a seed fails (regression seeds first; the fresh seeds
# only when those pass) or never ends (60 s for the regression seeds, the budget and 60 s for
# the fresh ones: "hang"); by CTest when a test fails that passed unmutated.
set -euo pipefail

repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
mutants_dir=$repo/scripts/mutants
seeds=3000
budget=120
ctest=0
sim=1
jobs=2
tree=$repo/build/mutation/tree
out=$repo/build/mutation/results.txt
list=0
patterns=()

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
  exit "${1:-0}"
}

while (($#)); do
  case $1 in
    --seeds) seeds=$2; shift 2 ;;
    --budget) budget=$2; shift 2 ;;
    --ctest) ctest=1; shift ;;
    --no-sim) sim=0; shift ;;
    --jobs) jobs=$2; shift 2 ;;
    --tree) tree=$(realpath -m "$2"); shift 2 ;;
    --out) out=$(realpath -m "$2"); shift 2 ;;
    --list) list=1; shift ;;
    -h | --help) usage 0 ;;
    -*) echo "mutation-check: unknown option $1" >&2; usage 2 ;;
    *) patterns+=("$1"); shift ;;
  esac
done
[[ $seeds =~ ^[0-9]+$ && $budget =~ ^[0-9]+$ && $jobs =~ ^[1-9][0-9]*$ ]] || usage 2
((sim || ctest)) || { echo "mutation-check: nothing to run (--no-sim without --ctest)" >&2; exit 2; }

mutants=()
for f in "$mutants_dir"/*.patch; do
  name=$(basename "$f" .patch)
  if ((${#patterns[@]})); then
    keep=0
    for p in "${patterns[@]}"; do [[ $name == *"$p"* ]] && keep=1; done
    ((keep)) || continue
  fi
  mutants+=("$name")
done
((${#mutants[@]})) || { echo "mutation-check: no mutant matches" >&2; exit 2; }

if ((list)); then
  for m in "${mutants[@]}"; do printf '%-44s %s\n' "$m" "$(head -1 "$mutants_dir/$m.patch" | sed 's/^# //')"; done
  exit 0
fi

# --- the scratch tree -----------------------------------------------------------------------
head=$(git -C "$repo" rev-parse HEAD)
if ! git -C "$tree" rev-parse --git-dir >/dev/null 2>&1; then
  mkdir -p "$(dirname "$tree")"
  git -C "$repo" worktree add -q --detach "$tree" "$head"
fi
revert() {
  git -C "$tree" checkout -q -- . 2>/dev/null || true
  git -C "$tree" clean -q -fd -- device motion 2>/dev/null || true
}
# The running chaos or ctest, under `timeout`, which passes a signal on to all it started.
child=
bounded() {  # $1: seconds, the rest: the command
  timeout "$@" &
  child=$!
  local rc=0
  wait "$child" || rc=$?
  child=
  return "$rc"
}
trap revert EXIT
trap '[ -z "$child" ] || kill "$child" 2>/dev/null; wait; revert; exit 130' INT TERM
revert
git -C "$tree" checkout -q --detach "$head"
[ -z "$(git -C "$tree" status --porcelain)" ] || { echo "mutation-check: $tree is not clean" >&2; exit 1; }

build=$tree/build/release
host=$build/vaskel-host
log=${out%.txt}.logs
mkdir -p "$log"
if [ ! -f "$build/build.ninja" ]; then
  (cd "$tree" && cmake --preset release >"$log/configure.txt" 2>&1) ||
    { echo "mutation-check: configure failed, see $log/configure.txt" >&2; exit 1; }
fi

targets=()
((sim)) && targets+=(vaskel-host)
((ctest)) && targets+=(vaskel_tests)
build_targets() {  # $1: log file
  nice cmake --build "$build" --target "${targets[@]}" -j "$jobs" >"$1" 2>&1
}

# One chaos run, line-buffered so that a run killed as hung still names the last seed it
# finished. $1: output file, $2: time limit, the rest: chaos arguments.
chaos() {
  local file=$1 limit=$2
  shift 2
  bounded "$limit" stdbuf -oL "$host" chaos --no-shrink --verbose "$@" >"$file" 2>&1
}

# The seed a hung run was in: the one after the last it finished. $1: output, the rest: the
# seeds in the order they run.
hung_seed() {
  local file=$1 last
  shift
  last=$(sed -n 's/^seed \([0-9]*\) hash .*/\1/p' "$file" | tail -1)
  [ -z "$last" ] && { echo "$1"; return; }
  while (($#)) && [ "$1" != "$last" ]; do shift; done
  echo "${2:-$last}"
}

# Seeds that fail, one "seed invariant" a line, in the order they ran; a run that does not end
# counts as a failure of its seed ("hang"). $1: log stem.
run_sim() {
  local stem=$1 rc=0
  local regression=()
  read -ra regression <<<"$(sed 's/#.*//' "$tree/sim/chaos/regression_seeds.txt" | tr -s ' \n' ' ')"
  : >"$stem.fails"
  chaos "$stem.regression.txt" 60 --seed-file "$tree/sim/chaos/regression_seeds.txt" || rc=$?
  sed -n 's/^seed \([0-9]*\) FAILED: \([a-z]*\):.*/\1 \2/p' "$stem.regression.txt" >>"$stem.fails"
  ((rc == 124)) && echo "$(hung_seed "$stem.regression.txt" "${regression[@]}") hang" >>"$stem.fails"
  if ((rc != 124 && seeds > 0)) && ! grep -qv -x -F -f "$stem.base_fails" "$stem.fails"; then
    rc=0
    chaos "$stem.fresh.txt" $((budget + 60)) --seeds "1..$seeds" --budget "$budget" || rc=$?
    sed -n 's/^seed \([0-9]*\) FAILED: \([a-z]*\):.*/\1 \2/p' "$stem.fresh.txt" >>"$stem.fails"
    ((rc == 124)) && echo "$(hung_seed "$stem.fresh.txt" $(seq 1 "$seeds")) hang" >>"$stem.fails"
  fi
  return 0
}

# Failed test names, one a line. $1: log stem.
run_ctest() {
  local stem=$1
  # Bounded as a whole: a test that hangs under a mutant may carry a long time-out of its own.
  bounded 300 ctest --test-dir "$build" -j 2 --timeout 120 >"$stem.ctest.txt" 2>&1 || true
  sed -n '/The following tests FAILED:/,$p' "$stem.ctest.txt" |
    sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' >"$stem.ctest_fails"
  grep -q "tests passed\|No tests were found" "$stem.ctest.txt" || echo "ctest-did-not-finish" >>"$stem.ctest_fails"
}

# --- the unmutated tree ---------------------------------------------------------------------
start=$(date +%s)
echo "mutation-check: $head, ${#mutants[@]} mutants, sim=$sim (seeds 1..$seeds, budget ${budget}s), ctest=$ctest"
build_targets "$log/base.build.txt" || { echo "mutation-check: the unmutated tree does not build" >&2; exit 1; }
base=$log/base
: >"$base.base_fails"
if ((sim)); then
  run_sim "$base"
  cp "$base.fails" "$base.base_fails"
  ran=$(grep -c '^seed [0-9]* hash' "$base.fresh.txt" 2>/dev/null || true)
  echo "unmutated: simulator failures: $(wc -l <"$base.fails") (fresh seeds run: ${ran:-0})"
  sed 's/^/  /' "$base.fails"
fi
: >"$base.base_ctest"
if ((ctest)); then
  run_ctest "$base"
  cp "$base.ctest_fails" "$base.base_ctest"
  echo "unmutated: CTest failures: $(wc -l <"$base.ctest_fails")"
  sed 's/^/  /' "$base.ctest_fails"
fi

# --- the mutants ----------------------------------------------------------------------------
mkdir -p "$(dirname "$out")"
{
  printf '# mutation check of %s (%s): fresh seeds 1..%s, budget %ss\n' "$head" "$(date -u +%FT%TZ)" "$seeds" "$budget"
  printf '%-44s %-26s %-36s %s\n' mutant simulator "first failing seed: invariant" ctest
} >"$out"
total=0 sim_kills=0 ctest_kills=0 unit_kills=0 either=0 skipped=0
for m in "${mutants[@]}"; do
  stem=$log/$m
  rm -f "$stem".*
  cp "$base.base_fails" "$stem.base_fails"
  revert
  if ! git -C "$tree" apply "$mutants_dir/$m.patch" 2>"$stem.apply.txt"; then
    printf '%-44s %s\n' "$m" "does not apply (rebase it)" | tee -a "$out"
    skipped=$((skipped + 1))
    continue
  fi
  t0=$(date +%s)
  if ! build_targets "$stem.build.txt"; then
    revert
    printf '%-44s %s\n' "$m" "does not build, see $stem.build.txt" | tee -a "$out"
    skipped=$((skipped + 1))
    continue
  fi
  sim_col=- seed_col=- ctest_col=-
  killed=0
  if ((sim)); then
    run_sim "$stem"
    first=$(grep -v -x -F -f "$base.base_fails" "$stem.fails" | head -1 || true)
    [ -s "$base.base_fails" ] || first=$(head -1 "$stem.fails")
    if [ -n "$first" ]; then
      sim_col=killed
      seed_col="seed ${first% *}: ${first#* }"
      sim_kills=$((sim_kills + 1))
      killed=1
    else
      ran=$(grep -c '^seed [0-9]* hash' "$stem.fresh.txt" 2>/dev/null || true)
      sim_col="survived (${ran:-0} fresh)"
    fi
  fi
  if ((ctest)); then
    run_ctest "$stem"
    new=$(grep -v -x -F -f "$base.base_ctest" "$stem.ctest_fails" || true)
    [ -s "$base.base_ctest" ] || new=$(cat "$stem.ctest_fails")
    if [ -n "$new" ]; then
      shown=$(grep -v '^chaos_\|^Chaos\.' <<<"$new" | head -1 || true)
      ctest_col="killed ($(wc -l <<<"$new") failed: ${shown:-$(head -1 <<<"$new")})"
      ctest_kills=$((ctest_kills + 1))
      # The suite runs the regression seeds too; what it catches without them:
      grep -qv '^chaos_\|^Chaos\.' <<<"$new" && unit_kills=$((unit_kills + 1))
      killed=1
    else
      ctest_col=survived
    fi
  fi
  revert
  total=$((total + 1))
  either=$((either + killed))
  printf '%-44s %-26s %-36s %s   [%ss]\n' "$m" "$sim_col" "$seed_col" "$ctest_col" $(($(date +%s) - t0)) |
    tee -a "$out"
done
revert
# The last mutant's file is rebuilt unmutated, so the tree's binaries are the committed ones again.
build_targets "$log/final.build.txt" || true

{
  echo
  ((sim)) && echo "simulator kills $sim_kills of $total"
  ((ctest)) && echo "CTest kills $ctest_kills of $total ($unit_kills without its simulator tests chaos_*, Chaos.*)"
  ((sim && ctest)) && echo "either kills $either of $total"
  ((skipped)) && echo "$skipped mutants did not apply or build and are not counted"
  echo "run time $(($(date +%s) - start)) s"
  true
} | tee -a "$out"
[ -z "$(git -C "$tree" status --porcelain)" ] || echo "mutation-check: warning: $tree is left dirty" >&2
