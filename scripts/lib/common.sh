# Shared by the scripts: repository paths and the Debian packages the project needs.
# shellcheck shell=bash

QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

QM_PACKAGES_LINUX=(cmake ninja-build g++ pkg-config binutils
                   libfmt-dev libutfcpp-dev nlohmann-json3-dev libdw-dev libelf-dev zlib1g-dev
                   libgtest-dev libgmock-dev googletest libbenchmark-dev libunwind8
                   libboost-stacktrace-dev libc6-dbg dwz)
QM_PACKAGES_WINDOWS=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
                     wine wine64)
# libFuzzer and its sanitizers come with clang's run-time library.
QM_PACKAGES_FUZZ=(clang libclang-rt-14-dev)

qm_log() { printf '\n==> %s\n' "$*"; }

# The configuration (preset) names of CMakePresets.json, one a line.
qm_presets() {
  cmake --list-presets=configure 2>/dev/null | sed -n 's/^ *"\([^"]*\)".*/\1/p'
}

# Fails with the list of valid names unless every argument names a configuration.
qm_check_presets() {
  local valid name
  valid=$(qm_presets)
  for name in "$@"; do
    if ! grep -qx -- "$name" <<<"$valid"; then
      echo "unknown configuration '$name'; valid: $(echo $valid)" >&2
      return 1
    fi
  done
}

# Installs what is missing from the given package list, or, when not root, prints the exact
# command to run and fails.
qm_require_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local cmd="apt-get install -y --no-install-recommends ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages. Run as root, then try again:" >&2
    echo "  apt-get update && $cmd" >&2
    return 1
  fi
  qm_log "Installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# A Wine prefix of the build's own, created once; no wineserver is left running afterwards
# (a lingering one keeps ctest's output pipe open).
qm_prepare_wine() {
  export WINEPREFIX="${WINEPREFIX:-$QM_ROOT/build/wine-prefix}"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    qm_log "Creating the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
  fi
  wineserver -w || true
}
