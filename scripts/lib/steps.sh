# Shared by the study scripts: their command line, the build they use, timed
# steps with their output in log files, and the console dialogue of the two
# programs. Source it, then call `study_setup DEFAULT-FOLDER "$@"`.

# study_setup DEFAULT-FOLDER ARGS...: --help prints the script's opening
# comment (up to `set -euo pipefail`); one optional OUTPUT-FOLDER, created.
# Sets here (the source tree), out, logs (out/logs), build, jobs.
study_setup() {
  local default=$1; shift
  local name; name=$(basename "$0")
  usage() { sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//p}' "$0"; }
  case "${1:-}" in
    -h|--help) usage; exit 0 ;;
    -*) echo "$name: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  [ $# -le 1 ] || { echo "$name: one OUTPUT-FOLDER at most" >&2; exit 2; }
  here=$(cd "$(dirname "$0")/.." && pwd)
  mkdir -p "${1:-$default}"
  out=$(cd "${1:-$default}" && pwd)
  logs="$out/logs"
  mkdir -p "$logs" "$out/figures"
  choose_build
}

# The build: STUDY_BUILD_DIR when set (a given build that is already
# configured keeps its options), else a fresh Release build without the
# tests in $out/build.
choose_build() {
  build=${STUDY_BUILD_DIR:-$out/build}
  configure_options=(-DCMAKE_BUILD_TYPE=Release -DTOM_BUILD_TESTS=OFF)
  if [ -n "${STUDY_BUILD_DIR:-}" ]; then
    configure_options=()
    [ -f "$build/CMakeCache.txt" ] || configure_options=(-DCMAKE_BUILD_TYPE=Release)
  fi
  jobs=$(nproc 2>/dev/null || echo 2)
}

# build_targets TARGET...: installs what is missing, configures and builds;
# with STUDY_PREBUILT=1 it builds nothing and uses STUDY_BUILD_DIR as it is
# (the tests run the study on the build they belong to).
build_targets() {
  if [ "${STUDY_PREBUILT:-0}" = 1 ]; then
    [ -n "${STUDY_BUILD_DIR:-}" ] || { echo "STUDY_PREBUILT needs STUDY_BUILD_DIR" >&2; return 1; }
    return 0
  fi
  "$here/scripts/install-deps.sh"
  cmake -S "$here" -B "$build" ${configure_options[@]+"${configure_options[@]}"}
  cmake --build "$build" -j"$jobs" --target "$@"
}
tool() { echo "$build/bin/$1"; }

declare -a step_names=() step_seconds=()
# step NAME COMMAND...: runs a step, its output in $logs/NAME.log, and notes its time.
step() {
  local name=$1; shift
  local t0 t1
  t0=$(date +%s.%N)
  printf '%-22s' "$name" >&2
  if ! "$@" > "$logs/$name.log" 2>&1; then
    echo "FAILED" >&2
    echo "$(basename "$0"): step '$name' failed; the end of $logs/$name.log:" >&2
    tail -n 20 "$logs/$name.log" | tr '\r' '\n' | tail -n 20 >&2
    exit 1
  fi
  t1=$(date +%s.%N)
  local s
  s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')
  echo "${s} s" >&2
  step_names+=("$name")
  step_seconds+=("$s")
}

# A console program of the study asks for an input and an output name.
dialogue() {
  local dir=$1 program=$2 input=$3 output=$4
  (cd "$dir" && printf '%s %s\n' "$input" "$output" | "$program")
}

# times_table TOTAL: the report's table of the steps' times, in Markdown.
times_table() {
  echo "## Times"
  echo
  echo "| step | seconds |"
  echo "|---|---|"
  for i in "${!step_names[@]}"; do echo "| ${step_names[$i]} | ${step_seconds[$i]} |"; done
  echo "| all | $1 |"
}
