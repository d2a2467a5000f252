#!/bin/sh
# Installs the Debian packages the build and the tests need; does nothing when all are present.
# An optional group adds what one more target needs:
#   windows  the Windows cross build and its tests under wine (make windows, make test-windows),
#            and the deb-src line that lets the build fetch Debian's libdeflate source
#   bench    Google Benchmark, GNU time and Python (make bench)
#   fuzz     clang with libFuzzer (make fuzz, make fuzz-replay); check: valgrind (make leak-check)
#   format   clang-format (make format, make format-check)
set -e
PACKAGES="cmake make g++ pkg-config zlib1g-dev lzma-dev libgtest-dev libpng-dev libjpeg-dev libgif-dev libdeflate-dev"
case "${1:-}" in
  windows) PACKAGES="$PACKAGES g++-mingw-w64-x86-64 libz-mingw-w64-dev googletest wine64 wine locales dpkg-dev" ;;
  bench)   PACKAGES="$PACKAGES libbenchmark-dev time python3" ;;
  fuzz)    PACKAGES="clang libclang-rt-14-dev" ;;
  check)   PACKAGES="valgrind" ;;
  format)  PACKAGES="clang-format" ;;
esac

missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
# The cross build compiles libdeflate from Debian's source package (apt-get source), which
# needs a deb-src entry; one is added, once, for the system's own release.
DEB_SRC_LIST=/etc/apt/sources.list.d/pixsieve-deb-src.sources
need_source=""
if [ "${1:-}" = windows ] && ! apt-cache showsrc libdeflate 2>/dev/null | grep -q '^Package: libdeflate'; then
  need_source=yes
fi
[ -z "$missing" ] && [ -z "$need_source" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    SUDO=sudo
  else
    [ -n "$missing" ] && echo "install-deps: missing Debian packages:$missing; run as root: apt-get install$missing" >&2
    [ -n "$need_source" ] && echo "install-deps: apt has no deb-src entry for libdeflate; run this script as root" >&2
    exit 1
  fi
fi
if [ -n "$need_source" ] && [ ! -f "$DEB_SRC_LIST" ]; then
  . /etc/os-release
  echo "install-deps: adding Debian's source packages for $VERSION_CODENAME ($DEB_SRC_LIST)"
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
    "$VERSION_CODENAME" /usr/share/keyrings/debian-archive-keyring.gpg | ${SUDO:-} tee "$DEB_SRC_LIST" >/dev/null
fi
${SUDO:-} apt-get update -qq
if [ -n "$missing" ]; then
  echo "install-deps: installing$missing"
  DEBIAN_FRONTEND=noninteractive ${SUDO:-} apt-get install -y -qq $missing >/dev/null
fi
