#!/usr/bin/env bash
# --version of each program: its name and the project version, with the commit when
# built from a git checkout; and the header writer gives no commit for a tree that is
# not a checkout of its own (a source tarball, also one unpacked inside a checkout).
#
#   tests/version_test.sh SOURCE_DIR VERSION BIN_DIR PROGRAM...
set -u
SOURCE=$1 VERSION=$2 BIN=$3
shift 3
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

commit=""
if [ "$(git -C "$SOURCE" rev-parse --show-toplevel 2>/dev/null)" = "$(cd "$SOURCE" && pwd -P)" ]; then
  commit=$(git -C "$SOURCE" rev-parse --short=12 HEAD)
fi
for program in "$@"; do
  out=$("$BIN/$program" --version 2>&1)
  code=$?
  [ $code -eq 0 ] || fail "$program --version: exit code $code"
  if [ -n "$commit" ]; then
    pattern="^$program $VERSION \\(git $commit(-dirty)?\\)\$"
  else
    pattern="^$program $VERSION\$"
  fi
  [[ $out =~ $pattern ]] || fail "$program --version printed \"$out\", expected /$pattern/"
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
header() {  # header SOURCE_DIR: the KELVORA_VERSION_TEXT line written for that tree
  rm -f "$scratch/v.h"
  cmake -DSOURCE_DIR="$1" -DVERSION=9.8 -DOUT="$scratch/v.h" -P "$SOURCE/cmake/version.cmake" &&
    grep '^#define KELVORA_VERSION_TEXT' "$scratch/v.h"
}
mkdir -p "$scratch/tarball"
[ "$(header "$scratch/tarball")" = '#define KELVORA_VERSION_TEXT "9.8"' ] ||
  fail "a tree outside any checkout: $(header "$scratch/tarball")"
if [ -n "$commit" ]; then
  [ "$(header "$SOURCE/res")" = '#define KELVORA_VERSION_TEXT "9.8"' ] ||
    fail "a tree inside a checkout took its commit: $(header "$SOURCE/res")"
  [[ $(header "$SOURCE") =~ ^'#define KELVORA_VERSION_TEXT "9.8 (git '$commit(-dirty)?')"'$ ]] ||
    fail "the checkout itself: $(header "$SOURCE")"
fi
[ $failures -eq 0 ] && echo "version: all checks passed"
exit $((failures > 0))
