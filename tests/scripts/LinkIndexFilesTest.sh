#!/usr/bin/env bash
# The link step of scripts/run in temporary data folders, over a stand-in for the installed
# Tycho-2 files: links under the application's names, what is there left alone, a second run
# that changes nothing.
#   LinkIndexFilesTest.sh <path of scripts/link-index-files>
set -euo pipefail

script=$1
root=$(mktemp -d "${TMPDIR:-/tmp}/link index files.XXXXXX")
trap 'rm -rf -- "$root"' EXIT
failures=0

fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
expect_eq() { # what, expected, actual
  [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"
}
support_of() { printf '%s\n' "$1/K3VQ7RZ2NP.TALVEN/Data/Library/Application Support/Quintarvel"; }
# Every entry below a folder with its type, mode and link target.
snapshot() { find "$1" -printf '%P %y %m %l\n' | sort; }

# Installed: the scales 08 and 10 to 19; 07 and 09 are not.
debian="$root/debian data"
mkdir -p -- "$debian"
for n in 08 10 11 12 13 14 15 16 17 18 19; do
  echo "scale $n" >"$debian/index-tycho2-$n.littleendian.fits"
done
export QUINTARVEL_TYCHO2_DIR=$debian

# A data home that does not exist yet, with spaces in its path.
home="$root/new user"
support=$(support_of "$home/.local share")
output=$(XDG_DATA_HOME="$home/.local share" HOME="$home" "$script")
expect_eq "first run's line" "link-index-files: linked 11 Tycho-2 index files into $support" \
  "$output"
for n in 08 10 11 12 13 14 15 16 17 18 19; do
  expect_eq "index-41$n.fits" "$debian/index-tycho2-$n.littleendian.fits" \
    "$(readlink -- "$support/index-41$n.fits" || true)"
done
for n in 07 09; do
  [ ! -e "$support/index-41$n.fits" ] && [ ! -L "$support/index-41$n.fits" ] ||
    fail "index-41$n.fits made without an installed file"
done
expect_eq "mode of a container made here" 700 "$(stat -c %a -- "$home/.local share/K3VQ7RZ2NP.TALVEN")"

# A second run changes nothing and says nothing.
before=$(snapshot "$home")
output=$(XDG_DATA_HOME="$home/.local share" HOME="$home" "$script")
expect_eq "second run's output" "" "$output"
expect_eq "second run's changes" "$before" "$(snapshot "$home")"

# A support folder that holds some of the names already, as a file, a folder, a link and a
# dangling link; its container is not private. Without XDG_DATA_HOME (or with a relative
# one) the data home is ~/.local/share.
home="$root/old user"
support=$(support_of "$home/.local/share")
mkdir -p -- "$support"
chmod 0755 -- "$home/.local/share/K3VQ7RZ2NP.TALVEN"
echo mine >"$support/index-4111.fits"
mkdir -- "$support/index-4112.fits"
ln -s -- "$support/index-4111.fits" "$support/index-4113.fits"
ln -s /nowhere/index-4114.fits "$support/index-4114.fits"
existing() { snapshot "$support" | grep -E '^index-411[1-4]\.fits( |/)' || true; }
before=$(existing)
output=$(XDG_DATA_HOME=relative/share HOME="$home" "$script")
expect_eq "line with names there" "link-index-files: linked 7 Tycho-2 index files into $support" \
  "$output"
expect_eq "existing file" mine "$(cat -- "$support/index-4111.fits")"
[ -d "$support/index-4112.fits" ] && [ -z "$(ls -A -- "$support/index-4112.fits")" ] ||
  fail "existing folder index-4112.fits changed"
expect_eq "existing link" "$support/index-4111.fits" "$(readlink -- "$support/index-4113.fits")"
expect_eq "existing dangling link" /nowhere/index-4114.fits \
  "$(readlink -- "$support/index-4114.fits")"
expect_eq "mode of an existing container" 755 \
  "$(stat -c %a -- "$home/.local/share/K3VQ7RZ2NP.TALVEN")"
expect_eq "entries that were there" "$before" "$(existing)"
for n in 08 10 15 19; do
  expect_eq "index-41$n.fits beside them" "$debian/index-tycho2-$n.littleendian.fits" \
    "$(readlink -- "$support/index-41$n.fits" || true)"
done

# Nothing installed: nothing linked, nothing made, nothing said.
home="$root/no files"
mkdir -p -- "$root/debian data/empty"
output=$(QUINTARVEL_TYCHO2_DIR="$root/debian data/empty" XDG_DATA_HOME="$home" "$script")
expect_eq "output with nothing installed" "" "$output"
[ ! -e "$home" ] || fail "folders made with nothing to link"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "link-index-files: every check passed"
