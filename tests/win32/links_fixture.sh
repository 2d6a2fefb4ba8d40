#!/usr/bin/env bash
# Runs the Windows-side link tests (Links.*) under Wine with links made here, on the Unix side:
# Wine's own calls make none (CreateSymbolicLink does nothing, junctions are not supported),
# and Wine lists a Unix symbolic link to a directory as a reparse point.
#   links_fixture.sh WINE TESTS.exe [GOOGLETEST OPTION...]
set -euo pipefail
wine=$1
tests=$2
root=$(mktemp -d "${TMPDIR:-/tmp}/runpack-links.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/outside/inner" "$root/empty-target" "$root/work-a" "$root/work-b/real" "$root/absolute"
printf 'precious' > "$root/outside/precious.txt"
printf 'deep' > "$root/outside/inner/deep.txt"
printf 'own' > "$root/work-b/own.txt"
printf 'x' > "$root/work-b/real/x.txt"
ln -s ../outside "$root/work-a/sub"
ln -s ../outside "$root/work-b/sub"
ln -s ../empty-target "$root/work-b/empty"
ln -s empty-target "$root/link-to-empty"
ln -s ../outside "$root/absolute/dest"
RUNPACK_LINK_FIXTURE="Z:${root//\//\\}" "$wine" "$tests" --gtest_filter='Links.*' "${@:3}"
