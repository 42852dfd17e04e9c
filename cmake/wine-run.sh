#!/bin/sh
# Runs a Windows program of the build under Wine, quietly and without a lingering wineserver.
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
