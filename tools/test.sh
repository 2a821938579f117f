#!/usr/bin/env bash
# Runs every test of vonk (tools/run_tests.sh: the C++ core suite and the
# Python suite) in the virtualenv tools/install.sh uses, after installing
# vonk there with its test extras:
#   bash tools/test.sh
# Missing system packages (those of tools/install.sh and GoogleTest) are
# installed when running as root; otherwise it stops at once and prints the
# apt-get command to run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/prerequisites.sh
. "$root/tools/prerequisites.sh"
vonk_require_packages test

venv="${VONK_VENV:-$HOME/vonk-venv}"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
echo "== pip install '$root[test]' (into $venv)"
"$venv/bin/python" -m pip install --progress-bar off "$root[test]"
PYTHON="$venv/bin/python" bash "$root/tools/run_tests.sh"
