#!/usr/bin/env bash
# The layers of the program: the tree as it stands passes scripts/check-layers,
# and a copy with an include that points up, or a quiet layer that prints,
# fails it, naming the file and the line.
#
# Usage: test_layers.sh REPO_DIR
set -uo pipefail
repo=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/ktr6-layers-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
# shellcheck source=../support/checks.sh
. "$(dirname "$0")/../support/checks.sh"

"$repo/scripts/check-layers" "$repo" >"$work/out" || fail "the tree: $(cat "$work/out")"

# Each planted line, in a copy of the folders, must be named.
plant() { # FILE LINE EXPECTED
  rm -rf "$work/tree"
  mkdir "$work/tree"
  for folder in core resources serial protocol commissioning views app tools bench fuzz; do
    [ -d "$repo/$folder" ] && cp -r "$repo/$folder" "$work/tree/"
  done
  printf '\n%s\n' "$2" >>"$work/tree/$1"
  local lines
  lines=$(wc -l <"$work/tree/$1")
  if "$repo/scripts/check-layers" "$work/tree" >"$work/out"; then
    fail "$1 with '$2' passed"
  elif ! grep -q "^$1:$lines: $3" "$work/out"; then
    fail "$1 with '$2': $(cat "$work/out")"
  fi
}
plant serial/PortMap.cpp '#include "views/Lamp.h"' 'includes "views/Lamp.h", layer 5'
plant core/NumText.h '#include "serial/MSComm.h"' 'includes "serial/MSComm.h", layer 2'
plant commissioning/Scan.cpp '#include "tools/ctl/StopSignals.h"' 'includes "tools/ctl/StopSignals.h"'
plant protocol/OnlineStream.cpp '#include "../app/Main.h"' 'includes "../app/Main.h", layer 6'
plant protocol/ParameterBlock.cpp 'void f() { std::fputs("x", stdout); }' 'writes to standard output'

[ "$failures" -eq 0 ] || exit 1
echo "PASS"
