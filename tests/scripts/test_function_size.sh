#!/usr/bin/env bash
# No function of the program over 60 lines or a modified McCabe complexity
# of 20 (scripts/function-size names any that is).
#
# Usage: test_function_size.sh REPO_DIR
set -uo pipefail
exec "$1/scripts/function-size"
