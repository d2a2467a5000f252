#!/bin/sh
# Runs the Windows build under wine: first the Windows unit tests (pixsieve_tests.exe),
# then the Linux command-line suites against pixsieve.exe and pixsieve-edit.exe.
# Usage: scripts/test-windows.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
set -e
LINUX_BUILD=$(cd "$1" && pwd)
WIN_BUILD=$(cd "$2" && pwd)

# A wine of our own inside the build tree, silent, without a display, never asking to
# install Mono or Gecko.
export WINEPREFIX="$WIN_BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export HOME="${HOME:-$WIN_BUILD}"
unset DISPLAY WAYLAND_DISPLAY LC_ALL

# wine takes the ANSI code page from the locale: zh_CN gives code page 936 (GBK), the one
# the programs' texts and file names are in. The locale is generated here, without root.
LOCALE_DIR="$WIN_BUILD/locale"
if [ ! -d "$LOCALE_DIR/zh_CN.UTF-8" ]; then
  mkdir -p "$LOCALE_DIR"
  localedef -i zh_CN -f UTF-8 "$LOCALE_DIR/zh_CN.UTF-8"
fi
export LOCPATH="$LOCALE_DIR"
export LC_CTYPE=zh_CN.UTF-8

# One wineserver for the whole run (each program start is quicker), stopped at the end.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test-windows: creating the wine prefix"
  timeout 300 wine wineboot --init </dev/null >/dev/null 2>&1
fi
wineserver -p 2>/dev/null || true  # one may still be running from wineboot
trap 'wineserver -k 2>/dev/null || true' EXIT

echo "test-windows: unit tests (pixsieve_tests.exe)"
unit_log="$WIN_BUILD/unit-tests.log"
status=0
timeout 600 wine "$WIN_BUILD/pixsieve_tests.exe" --gtest_brief=1 </dev/null >"$unit_log" 2>&1 || status=$?
cat "$unit_log"
unit_ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' "$unit_log" | tail -n 1)
[ "$status" -eq 0 ] || { echo "test-windows: unit tests FAILED (${unit_ran:-?} ran)"; exit 1; }

# The tests that start the programs (ctest label "programs", listed in cmake/tests.cmake),
# each starting the .exe through wine; ctest gives each its own timeout.
echo "test-windows: command-line tests against the .exe files"
export PIXSIEVE_RUNNER=wine
export PIXSIEVE_TOOL="$WIN_BUILD/pixsieve.exe"
export PIXSIEVE_EDIT_TOOL="$WIN_BUILD/pixsieve-edit.exe"
cd "$LINUX_BUILD"
programs_log="$WIN_BUILD/program-tests.log"
status=0
ctest --output-on-failure -j 2 --timeout 120 -L programs </dev/null >"$programs_log" 2>&1 || status=$?
grep -vE '^ *(Start|[0-9]+/[0-9]+ Test) ' "$programs_log" || true
programs_ran=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$programs_log" | tail -n 1)
[ "$status" -eq 0 ] || { echo "test-windows: command-line tests FAILED"; exit 1; }
echo "test-windows: passed ${unit_ran:-?} unit tests and ${programs_ran:-?} command-line tests"
