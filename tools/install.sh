#!/usr/bin/env bash
# Installs vonk from this source tree into a virtualenv of its own and runs
# the example with it:
#   bash tools/install.sh
# The virtualenv is $VONK_VENV, by default ~/vonk-venv (made with python3
# when missing). Missing system packages (a C/C++ compiler; with Debian's
# own python3 also python3-venv and python3-dev) are installed when running
# as root; otherwise it stops at once and prints the apt-get command to run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/prerequisites.sh
. "$root/tools/prerequisites.sh"
vonk_require_packages

venv="${VONK_VENV:-$HOME/vonk-venv}"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
echo "== pip install $root (into $venv)"
"$venv/bin/python" -m pip install --progress-bar off "$root"
echo "== python examples/example.py"
"$venv/bin/python" "$root/examples/example.py"
echo "== vonk is installed in $venv; use it with: . $venv/bin/activate"
