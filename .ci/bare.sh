#!/usr/bin/env bash
# README's quick start on a machine without GoogleTest, groff and gzip, which
# the build needs only for the tests and the manual pages: the first command
# builds the program and mirrors the sample tree, the second fails saying in
# one line what the tests need. Also proves that warnings are errors in the
# dev configuration but not in the release one, and that an install without
# gzip holds the program without its pages.
#
# Works on a copy of the sources, in a private mount namespace that hides
# those packages' files from the build: nothing is uninstalled, and no mount
# outlives the script. Needs root; skips with a message where no mount
# namespace can be made.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

fail() { printf 'bare.sh: %s\n' "$*" >&2; exit 1; }

if [ "${1:-}" != --inside ]; then
  if ! unshare --mount --propagation private true 2>/dev/null; then
    echo "bare.sh: skipped, no mount namespace can be made here (it needs root)"
    exit 0
  fi
  exec unshare --mount --propagation private bash "$0" --inside
fi

work=$(mktemp -d)
hidden=()
cleanup() {
  local path
  for path in "${hidden[@]}"; do
    umount "$path" || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# An empty directory over each directory of theirs, an empty file that is not
# executable over each file: to CMake and the shell they are not there. Each
# is hidden once, however many names lead to it (/bin is /usr/bin on Debian).
mkdir "$work/empty"
: >"$work/nothing"
chmod 0644 "$work/nothing"
shopt -s nullglob
for path in /usr/src/googletest /usr/include/gtest /usr/include/gmock \
            /usr/lib/*/cmake/GTest /usr/lib/*/libgtest* /usr/lib/*/libgmock* \
            /usr/lib/*/pkgconfig/gtest* /usr/lib/*/pkgconfig/gmock* \
            /usr/bin/gzip /bin/gzip /usr/bin/groff /bin/groff; do
  [ -e "$path" ] || continue
  path=$(realpath "$path")
  [[ " ${hidden[*]} " == *" $path "* ]] && continue
  if [ -d "$path" ]; then
    mount --bind "$work/empty" "$path"
  else
    mount --bind "$work/nothing" "$path"
  fi
  hidden+=("$path")
done
shopt -u nullglob
[ ! -e /usr/include/gtest/gtest.h ] && [ ! -e /usr/src/googletest/CMakeLists.txt ] ||
  fail "GoogleTest is still visible"
for tool in gzip groff; do
  if found=$(type -P "$tool") && [ -x "$found" ]; then
    fail "$tool is still visible at $found"
  fi
done

mkdir "$work/src"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/src" -xf -
cd "$work/src"

echo "== the first command: release build, then a mirror of the sample tree"
if ! (cmake --preset release && cmake --build --preset release && d=$(mktemp -d "$work/mirror.XXXXXX") &&
      build/release/src/calvento -v2 sample/sorg "$d" && ls -lR "$d") >"$work/first.log" 2>&1; then
  cat "$work/first.log"
  fail "the release build and run failed"
fi
grep -q 'The manual pages and the changelog are left out: they need gzip' "$work/first.log" ||
  { cat "$work/first.log"; fail "configure did not say that the pages are left out"; }
# Names beginning with a dot are hidden ones, which a run leaves alone.
diff -r -x '.*' sample/sorg "$work"/mirror.* || fail "the mirror differs from the sample tree"
grep -q -- -Werror build/release/build.ninja && fail "the release build treats warnings as errors"
echo "ok: built without -Werror, mirrored, the pages left out with a message"

echo "== an install without gzip: the program, without its pages"
cmake --install build/release --prefix "$work/inst" >/dev/null
[ -x "$work/inst/bin/calvento" ] || fail "the program is not installed"
[ ! -e "$work/inst/share/man" ] || fail "manual pages installed without gzip"
echo "ok: $(cd "$work/inst" && find . -type f | sort | tr '\n' ' ')"

echo "== the second command: the dev workflow, which fails for want of GoogleTest"
line='The tests need GoogleTest: apt-get install googletest (or libgtest-dev libgmock-dev), then configure again'
if cmake --workflow --preset dev >"$work/second.log" 2>&1; then
  cat "$work/second.log"
  fail "the dev workflow passed with no tests"
fi
grep -qxF "$line" "$work/second.log" || { cat "$work/second.log"; fail "the test run does not say what it needs"; }
grep -q -- -Werror build/dev/build.ninja || fail "the dev build does not treat warnings as errors"
ctest --preset quick >"$work/quick.log" 2>&1 && fail "the unit tests passed with no tests"
grep -qxF "$line" "$work/quick.log" || { cat "$work/quick.log"; fail "a run of the unit tests does not say what it needs"; }
grep -A1 'Test #1: googletest_missing' "$work/second.log"
echo "ok: the test step failed with the line above, and so does a run of the unit tests; the dev build has -Werror"

if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "== the Windows configuration without groff"
  cmake --preset windows >"$work/windows.log" 2>&1 || { cat "$work/windows.log"; fail "the Windows configure failed"; }
  grep -q 'The manual pages are left out: they need groff' "$work/windows.log" ||
    { cat "$work/windows.log"; fail "configure did not say that the pages are left out"; }
  grep -q -- -Werror build/windows/build.ninja || fail "the Windows build does not treat warnings as errors"
  echo "ok: configured, the pages left out with a message"
fi
