#!/usr/bin/env bash
# Builds the library and runs the demo host. Usage:
#   scripts/demo.sh [demo options]            Linux build
#   scripts/demo.sh --windows [demo options]  Windows x64 build under Wine
set -euo pipefail
source "$(dirname "$0")/lib/common.sh"
cd "$QM_ROOT"

preset=release
if [ "${1:-}" = "--windows" ]; then
  preset=mingw
  shift
fi

# Answered before anything is built.
for arg in "$@"; do
  case "$arg" in
    -h | --help)
      cat <<EOF
Usage: scripts/demo.sh [--windows] [demo options]

Builds the demo host (the release configuration, or with --windows the mingw one, run under
Wine) and runs it with the demo options:
  --level N         resource monitor level: 1 stacks, 2 stacks + detailed reports, 4 check
                    thread (combine by adding; default 6)
  --grouped         detailed reports list each call site once, with its count
  --leak-file PATH  also write the final leak report to PATH as JSON
  --quiet           hide the library's log lines; print only the summary
EOF
      exit 0
      ;;
  esac
done

need=("${QM_PACKAGES_LINUX[@]}")
[ "$preset" = mingw ] && need+=("${QM_PACKAGES_WINDOWS[@]}")
qm_require_packages "${need[@]}"

qm_log "Building the $preset configuration"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target quillmark_demo -j "$(nproc 2>/dev/null || echo 2)"

qm_log "Running the demo host"
if [ "$preset" = mingw ]; then
  qm_prepare_wine
  exec "$QM_ROOT/cmake/wine-run.sh" "build/mingw/bin/quillmark_demo.exe" "$@"
fi
exec "build/$preset/bin/quillmark_demo" "$@"
