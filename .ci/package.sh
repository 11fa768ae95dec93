#!/usr/bin/env bash
# Builds the Debian package of Calvento and proves it: lintian on the .deb
# (errors fail, warnings are listed), the manual pages checked with groff
# (and mandoc when it can be had), the package installed with dpkg, the
# installed program run on a scratch tree, its manual page found by man, and
# the package removed again. Needs root (apt-get, dpkg -i).
#
# CALVENTO_PACKAGE_BUILD_DIR=dir builds in dir instead of the release
# preset's build/release. CALVENTO_WERROR=ON treats warnings as errors, as CI
# does; the release preset alone does not.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

step() { printf '\n== %s\n' "$*"; }
fail() { printf 'package.sh: %s\n' "$*" >&2; exit 1; }

step "tools"
# The release build leaves the test suite out: no GoogleTest.
packages=(cmake ninja-build g++ dpkg-dev lintian man-db groff-base file)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
apt_updated=no
apt_install() {
  if [ "$apt_updated" = no ]; then
    apt-get update -q
    apt_updated=yes
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"
}
if [ "${#missing[@]}" -gt 0 ]; then
  apt_install "${missing[@]}"
fi
# mandoc is a second opinion on the pages; the check goes on without it.
if ! command -v mandoc >/dev/null 2>&1; then
  apt_install mandoc || echo "mandoc cannot be installed: its check is skipped"
fi

step "build (release preset)"
# Only what the package holds: the program and its compressed pages. The
# test suite is built and run by .ci/run; nothing of it is installed.
targets=(--target calvento calvento_docs)
werror=(-DCALVENTO_WERROR="${CALVENTO_WERROR:-OFF}")
if [ -n "${CALVENTO_PACKAGE_BUILD_DIR:-}" ]; then
  build=$CALVENTO_PACKAGE_BUILD_DIR
  cmake --preset release -B "$build" "${werror[@]}"
  cmake --build "$build" "${targets[@]}"
else
  build=$root/build/release
  cmake --preset release "${werror[@]}"
  cmake --build --preset release "${targets[@]}"
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

step "package"
rm -f "$build"/calvento_*.deb
(cd "$build" && cpack -G DEB)
arch=$(dpkg --print-architecture)
deb=$build/calvento_${version}_${arch}.deb
[ -f "$deb" ] || fail "cpack made no $deb"
dpkg-deb --info "$deb"

# Exactly these files, nothing of the test suite.
expected="./usr/bin/calvento
./usr/share/doc/calvento/changelog.gz
./usr/share/doc/calvento/copyright
./usr/share/man/en/man1/calvento.1.gz
./usr/share/man/man1/calvento.1.gz"
actual=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
if [ "$actual" != "$expected" ]; then
  printf 'package contents:\n%s\n' "$actual" >&2
  fail "the package does not hold exactly the expected files"
fi
dpkg-deb --contents "$deb"
[ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "package version is not $version"
dpkg-deb --field "$deb" Depends | grep -q libc6 || fail "no Depends on libc6 (dpkg-shlibdeps did not run?)"

step "lintian"
lintian_out=$(mktemp)
trap 'rm -f "$lintian_out"' EXIT
# --fail-on error: warnings are shown but do not fail the check.
if ! lintian --display-info --fail-on error "$deb" >"$lintian_out" 2>&1; then
  cat "$lintian_out"
  fail "lintian reports errors"
fi
if [ -s "$lintian_out" ]; then
  echo "lintian warnings and notes:"
  cat "$lintian_out"
else
  echo "lintian: no tags"
fi

step "manual pages"
check_quiet() {
  # Runs a checker and fails when it prints anything.
  local out
  out=$("$@" 2>&1 >/dev/null) || fail "$* failed: $out"
  [ -z "$out" ] || fail "$*: $out"
}
for page in doc/calvento.1 doc/calvento.en.1 \
            "$build/packaging/it/calvento.1" "$build/packaging/en/calvento.1"; do
  check_quiet groff -man -Wall -z "$page"
  LC_ALL=C.UTF-8 MANWIDTH=80 check_quiet man --warnings -l "$page"
  if command -v mandoc >/dev/null 2>&1; then
    check_quiet mandoc -Tlint -Wwarning "$page"
  fi
  grep -q "^\.TH CALVENTO 1 .*\"calvento $version\"" "$page" || [[ "$page" == doc/* ]] ||
    fail "$page: .TH line does not carry version $version"
  echo "ok: $page"
done

step "install"
# Minimal container images tell dpkg to drop manual pages and documents
# (path-exclude in /etc/dpkg/dpkg.cfg.d/). Options given on the command line
# come after those files, so these path-include options bring Calvento's
# pages and documents back for this one install, and change nothing for
# other packages.
include_opts=()
if grep -hqs '^[[:space:]]*path-exclude.*/usr/share/\(man\|doc\)' /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/*; then
  echo "dpkg is configured to leave out manual pages or documents; including Calvento's"
  include_opts=(--path-include='/usr/share/man/*/calvento.1.gz'
                --path-include='/usr/share/man/man1/calvento.1.gz'
                --path-include='/usr/share/doc/calvento/*')
fi
installed=no
scratch=$(mktemp -d)
cleanup() {
  rm -f "$lintian_out"
  rm -rf "$scratch"
  if [ "$installed" = yes ]; then
    dpkg -r calvento >/dev/null || true
  fi
}
trap cleanup EXIT
dpkg "${include_opts[@]}" -i "$deb"
installed=yes
dpkg -L calvento
for f in /usr/bin/calvento /usr/share/man/man1/calvento.1.gz \
         /usr/share/man/en/man1/calvento.1.gz /usr/share/doc/calvento/copyright; do
  [ -e "$f" ] || fail "$f is not installed"
done
file /usr/bin/calvento | grep -q 'ELF' || fail "/usr/bin/calvento is not an ELF file"
file /usr/bin/calvento | grep -q 'not stripped' && fail "/usr/bin/calvento is not stripped"

step "run the installed program"
mkdir -p "$scratch/sorg/sub dir/deep" "$scratch/dest/gone"
printf 'one\n' >"$scratch/sorg/a.txt"
printf 'two\n' >"$scratch/sorg/sub dir/b.txt"
head -c 300000 /dev/zero >"$scratch/sorg/sub dir/deep/big.bin"
chmod 0640 "$scratch/sorg/a.txt"
touch -d '2024-03-05 10:00:00' "$scratch/sorg/a.txt"
printf 'stale\n' >"$scratch/dest/a.txt"
printf 'extra\n' >"$scratch/dest/gone/old.txt"
out=$(/usr/bin/calvento -v1 -l"$scratch/run.log" "$scratch/sorg" "$scratch/dest") ||
  fail "calvento exited with $?"
echo "$out" | head -1 | grep -qx "Calvento $version - sincronizzazione di directory" ||
  fail "unexpected banner: $(echo "$out" | head -1)"
diff -r "$scratch/sorg" "$scratch/dest" || fail "the copy differs from the source"
[ "$(stat -c '%a %Y' "$scratch/dest/a.txt")" = "$(stat -c '%a %Y' "$scratch/sorg/a.txt")" ] ||
  fail "permissions or time not carried to the copy"
grep -q '^File copiati.*: *3$' "$scratch/run.log" || fail "log footer does not count 3 copies"
# The directory progress lines end in a carriage return, not a line end.
again=$(/usr/bin/calvento "$scratch/sorg" "$scratch/dest" | tr '\r' '\n')
echo "$again" | grep -q '^0 file copiato(i), 0 byte ' || fail "a second run copied again: $again"
status=0
/usr/bin/calvento -h </dev/null >/dev/null || status=$?
[ "$status" = 1 ] || fail "calvento -h exited with $status, not 1"
echo "ok: mirror, diff -r, permissions and time, log, second run, exit status"

step "manual page lookup"
page=$(man -w calvento) || fail "man -w calvento finds nothing"
[ "$page" = /usr/share/man/man1/calvento.1.gz ] || fail "man -w calvento gives $page"
echo "man -w calvento: $page"
page_en=$(man -L en -w calvento) || fail "man -L en -w calvento finds nothing"
[ "$page_en" = /usr/share/man/en/man1/calvento.1.gz ] || fail "man -L en -w calvento gives $page_en"
echo "man -L en -w calvento: $page_en"
man -L en calvento 2>/dev/null | grep -q 'make a directory tree an exact image' ||
  fail "man -L en calvento does not show the English page"
man calvento 2>/dev/null | grep -q "rende un albero di directory" ||
  fail "man calvento does not show the Italian page"

step "remove"
dpkg -r calvento
installed=no
[ ! -e /usr/bin/calvento ] || fail "/usr/bin/calvento is still there after dpkg -r"
[ ! -e /usr/share/man/man1/calvento.1.gz ] || fail "the manual page is still there after dpkg -r"
echo "package: $deb built, checked, installed, run and removed"
