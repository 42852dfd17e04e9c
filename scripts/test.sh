#!/usr/bin/env bash
# Builds and runs every test suite: Linux dev, asan and tsan, and the Windows x64 build under
# Wine, and the fuzz targets (a fixed time each). Usage: scripts/test.sh [preset ...]
# (default: dev asan tsan fuzz mingw)
set -uo pipefail
source "$(dirname "$0")/lib/common.sh"
cd "$QM_ROOT" || exit 1

usage() {
  cat <<EOF
Usage: scripts/test.sh [configuration ...]

Configures, builds and tests each configuration (CMake preset) in turn, then prints a summary;
fails if any configuration is red. Without arguments: dev asan tsan fuzz mingw.

Configurations: $(echo $(qm_presets))
Logs: build/<configuration>-ctest.log
EOF
}

case "${1:-}" in
  -h | --help)
    usage
    exit 0
    ;;
esac

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(dev asan tsan fuzz mingw)
qm_check_presets "${presets[@]}" || exit 2

need=("${QM_PACKAGES_LINUX[@]}")
[[ " ${presets[*]} " == *" mingw "* ]] && need+=("${QM_PACKAGES_WINDOWS[@]}")
[[ " ${presets[*]} " == *" fuzz "* ]] && need+=("${QM_PACKAGES_FUZZ[@]}")
qm_require_packages "${need[@]}" || exit 2

jobs=$(nproc 2>/dev/null || echo 2)
total_passed=0
total_failed=0
declare -A verdict

run_preset() {
  local preset=$1 log="build/$1-ctest.log"
  qm_log "[$preset] configure"
  cmake --preset "$preset" >/dev/null || return 1
  qm_log "[$preset] build"
  cmake --build --preset "$preset" -j "$jobs" || return 1
  [ "$preset" = mingw ] && qm_prepare_wine
  qm_log "[$preset] test"
  ctest --preset "$preset" -j "$([ "$preset" = mingw ] && echo 1 || echo "$jobs")" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    total_failed=$((total_failed + BASH_REMATCH[1]))
    total_passed=$((total_passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
  return "$rc"
}

mkdir -p build
for preset in "${presets[@]}"; do
  start=$SECONDS
  if run_preset "$preset"; then
    verdict[$preset]="passed ($((SECONDS - start)) s)"
  else
    verdict[$preset]="FAILED ($((SECONDS - start)) s)"
    failed_any=1
  fi
done

echo
echo "== Summary =="
for preset in "${presets[@]}"; do
  printf '  %-8s %s\n' "$preset" "${verdict[$preset]}"
done
echo "tests: $total_passed passed, $total_failed failed"
[ -z "${failed_any:-}" ]
