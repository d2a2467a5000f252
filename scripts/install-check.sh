#!/bin/sh
# Builds the programs as a packager does (no tests, plain CMake), installs them into a
# temporary prefix and checks what landed there: exactly the two programs, the README and
# the two manual pages, and installed programs that run.
#   scripts/install-check.sh [BUILD]      (default build-package)
set -u
cd "$(dirname "$0")/.."
BUILD=${1:-build-package}
prefix=$(mktemp -d /tmp/pixsieve-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "install-check: $*" >&2; exit 1; }

cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DPIXSIEVE_TESTS=OFF -DPIXSIEVE_WERROR=ON >/dev/null || fail "configure failed"
cmake --build "$BUILD" -j "${JOBS:-2}" >/dev/null || fail "build failed"
cmake --install "$BUILD" --prefix "$prefix" >/dev/null || fail "install failed"

expected="bin/pixsieve
bin/pixsieve-edit
share/doc/pixsieve/README.md
share/man/man1/pixsieve-edit.1
share/man/man1/pixsieve.1"
installed=$(cd "$prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$installed" = "$expected" ] || fail "installed files differ from the expected ones:
$(printf '%s\n' "$installed")"
for program in pixsieve pixsieve-edit; do
    [ -x "$prefix/bin/$program" ] || fail "bin/$program is not executable"
    "$prefix/bin/$program" --version >/dev/null || fail "bin/$program --version failed"
done
cmp -s README.md "$prefix/share/doc/pixsieve/README.md" || fail "the installed README differs from README.md"

# The installed tool extracts the sample like the one in the build tree.
cp samples/sample.swf "$prefix/" && "$prefix/bin/pixsieve" -q "$prefix/sample.swf" >/dev/null 2>&1 ||
    fail "the installed pixsieve did not extract the sample"
[ -n "$(ls "$prefix/sample.swf_res")" ] || fail "the installed pixsieve wrote no files"
echo "install-check: $(printf '%s\n' "$expected" | wc -l) files installed and checked"
