#!/bin/sh
# Installs the Debian packages the build and the tests need; does nothing when all are present.
# An optional group adds what one more target needs:
#   windows  the Windows cross build and its tests under wine (make windows, make test-windows)
#   bench    Google Benchmark, GNU time and Python (make bench)
#   fuzz     clang with libFuzzer (make fuzz, make fuzz-replay); check: valgrind (make leak-check)
#   format   clang-format (make format, make format-check)
set -e
PACKAGES="cmake make g++ pkg-config zlib1g-dev lzma-dev libgtest-dev libpng-dev libjpeg-dev libgif-dev libdeflate-dev"
case "${1:-}" in
  windows) PACKAGES="$PACKAGES g++-mingw-w64-x86-64 libz-mingw-w64-dev googletest wine64 wine locales" ;;
  bench)   PACKAGES="$PACKAGES libbenchmark-dev time python3" ;;
  fuzz)    PACKAGES="clang libclang-rt-14-dev" ;;
  check)   PACKAGES="valgrind" ;;
  format)  PACKAGES="clang-format" ;;
esac

missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    SUDO=sudo
  else
    echo "install-deps: missing Debian packages:$missing" >&2
    echo "install-deps: run as root: apt-get install$missing" >&2
    exit 1
  fi
fi
echo "install-deps: installing$missing"
${SUDO:-} apt-get update -qq
DEBIAN_FRONTEND=noninteractive ${SUDO:-} apt-get install -y -qq $missing >/dev/null
