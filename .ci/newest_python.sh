#!/usr/bin/env bash
# Runs the Python suite against the wheel built on this machine in the
# newest CPython releases of Debian testing: testing's default python3 and
# every later python3.X it ships, each in a virtualenv of its own inside a
# Debian testing root (debootstrap) entered with chroot. The root has no
# compiler: the wheel must install and work as a user gets it.
#   bash .ci/newest_python.sh
# Needs root, debootstrap, git and unshare (util-linux).
#
# The wheel is $VONK_WHEEL when set, else built here with
# `$PYTHON -m pip wheel --no-deps .` ($PYTHON defaults to the python on
# PATH). Each virtualenv gets the wheel, then the test extras of
# pyproject.toml one requirement at a time, wheels only: a requirement with
# no wheel for that Python (numpy or pyarrow on a Python newer than their
# releases) is left out and reported, and the tests that need it skip. pytest
# runs from a scratch folder on the source tree's tests/python, so only the
# installed package can be imported.
#
# The root, with its Pythons, virtualenvs and pip cache, is kept in
# build/newest-python/ ($VONK_CI_NEWEST_DIR) and made again when older than
# $VONK_CI_NEWEST_MAX_AGE days (7), so a later run finds the Pythons testing
# ships by then. The suites run in a mount and PID namespace of their own
# with /proc, /sys and /dev/shm mounted in the root: when they end, however
# they end, so do those mounts and every process; the trap unmounts them
# itself as well.
set -euo pipefail

suite=testing
mirror="${VONK_CI_MIRROR:-http://deb.debian.org/debian}"
max_age="${VONK_CI_NEWEST_MAX_AGE:-7}"
step_timeout="${VONK_CI_STEP_TIMEOUT:-1500}"
clean_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

# --- In the root: one Python's virtualenv, its packages and the suite ------
if [ "${1:-}" = --suite ]; then
  version="$2"
  venv="/root/venv-$version"
  log=$(mktemp)
  if ! "$venv/bin/python" -c pass 2>/dev/null; then
    rm -rf "$venv"
    "python$version" -m venv "$venv"
  fi
  python="$venv/bin/python"
  echo "== $("$python" -VV) in $venv"
  "$python" -m pip install -q --force-reinstall --no-deps /root/wheel/*.whl

  # The test extras, with the extras of vonk they name spelled out.
  mapfile -t requirements < <("$python" - /root/vonk/pyproject.toml <<'EOF'
import re, sys, tomllib
with open(sys.argv[1], "rb") as file:
    extras = tomllib.load(file)["project"]["optional-dependencies"]
seen, found = set(), []
def expand(extra):
    if extra in seen:
        return
    seen.add(extra)
    for requirement in extras[extra]:
        own = re.fullmatch(r"vonk\[(.*)\]", requirement.replace(" ", ""))
        if own:
            for name in own.group(1).split(","):
                expand(name)
        elif requirement not in found:
            found.append(requirement)
expand("test")
print("\n".join(found))
EOF
  )
  left_out=()
  for requirement in "${requirements[@]}"; do
    if "$python" -m pip install -q --only-binary :all: "$requirement" >"$log" 2>&1; then
      continue
    fi
    # No wheel for this Python is expected; a failing network is not.
    if grep -qE 'Retrying|ConnectionError|SSLError|HTTPError|ReadTimeout' "$log" ||
       ! grep -qE 'No matching distribution|ResolutionImpossible' "$log"; then
      cat "$log"
      echo "== python$version: pip install '$requirement' failed" >&2
      exit 1
    fi
    left_out+=("$requirement")
  done
  rm -f "$log"
  "$python" -c 'import pytest' || { echo "== python$version: no pytest" >&2; exit 1; }
  if [ "${#left_out[@]}" -gt 0 ]; then
    echo "== python$version: no wheel, left out: ${left_out[*]}"
  fi
  echo "== python$version: $("$python" -m pip list --format=freeze |
    grep -iE '^(vonk|pytest|hypothesis|numpy|pyarrow|pandas|dask|distributed|mypy)==' |
    tr '\n' ' ')"
  scratch=$(mktemp -d)
  cd "$scratch"
  exec "$python" -m pytest /root/vonk/tests/python
fi

# --- In the namespaces: mount, run each Python's suite, unmount ------------
# (The copy of this script inside the chroot runs --suite alone, above.)
# shellcheck source=.ci/namespace_child.sh
. "$(dirname "${BASH_SOURCE[0]}")/namespace_child.sh"
if [ "${1:-}" = --inside ]; then
  root="$2"
  results="$3"
  shift 3
  mounted=()
  cleanup() {
    local status=$?
    trap - INT TERM
    unmount_recorded || status=1
    exit "$status"
  }
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  mount_pseudo_filesystems "$root"

  failures=0
  for version in "$@"; do
    start=$(date +%s)
    log="$results/python$version.log"
    # In the background, so that a signal to this shell is handled at once.
    { rc=0
      timeout -k 10 "$step_timeout" chroot "$root" \
        env -i HOME=/root PATH="$clean_path" LANG=C.UTF-8 \
        PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore \
        /bin/bash /root/newest_python.sh --suite "$version" </dev/null 2>&1 || rc=$?
      echo "$rc" >"$log.status"
    } | tee "$log" &
    wait "$!" || true
    status=$(cat "$log.status")
    summary=$(grep -E '^=+ .*(passed|failed|error|no tests ran).* in [0-9.]+s' "$log" |
              tail -1 | sed 's/^=* //; s/ =*$//')
    echo "python$version: ${summary:-no pytest summary}, exit status $status," \
         "$(( $(date +%s) - start )) s" >>"$results/summary"
    [ "$status" -eq 0 ] || failures=$((failures + 1))
  done
  [ "$failures" -eq 0 ]
  exit
fi

# --- Outside: the wheel, the root, then the namespaces ---------------------
if [ "$(id -u)" -ne 0 ]; then
  echo "newest_python.sh: needs root (debootstrap, chroot, mount)" >&2
  exit 1
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
state="${VONK_CI_NEWEST_DIR:-$repo/build/newest-python}"
started=$(date +%s)
mkdir -p "$state"
state=$(cd "$state" && pwd)
root="$state/root"

# Removes a root folder, never through a mount point.
remove_root() {
  [ -e "$1" ] || return 0
  if grep -q " $1/" /proc/mounts; then
    echo "newest_python.sh: mounts left under $1:" >&2
    grep " $1/" /proc/mounts >&2
    exit 1
  fi
  rm -rf --one-file-system "$1"
}

child=""
on_exit() {
  local status=$?
  stop_namespace_child || status=1
  rm -rf "$state/results"
  exit "$status"
}
trap on_exit EXIT
trap 'exit 130' INT TERM

# The wheel.
if [ -n "${VONK_WHEEL:-}" ]; then
  wheel=$(cd "$(dirname "$VONK_WHEEL")" && pwd)/$(basename "$VONK_WHEEL")
else
  python="${PYTHON:-$(command -v python || command -v python3)}"
  echo "== pip wheel --no-deps . (with $python)"
  rm -rf "$state/wheel"
  "$python" -m pip wheel -q --no-deps "$repo" -w "$state/wheel"
  wheel=$(find "$state/wheel" -name 'vonk-*.whl' -print -quit)
fi
[ -f "$wheel" ] || { echo "newest_python.sh: no wheel at '$wheel'" >&2; exit 1; }
echo "== wheel: $(basename "$wheel")"

# The root: made again when missing or too old.
if [ ! -f "$root/.vonk-pythons" ] ||
   [ -n "$(find "$root/.vonk-pythons" -mtime "+$((max_age - 1))")" ]; then
  remove_root "$root"
  remove_root "$root.new"
  echo "== debootstrap --variant=minbase $suite (kept in $root)"
  # An older debootstrap may lack the script for that name; testing is
  # bootstrapped as sid is.
  script=/usr/share/debootstrap/scripts/$suite
  [ -e "$script" ] || script=/usr/share/debootstrap/scripts/sid
  # In a mount namespace of its own, so the mounts it makes in the root end
  # with it even when it fails.
  unshare --mount --propagation private \
    debootstrap --variant=minbase "$suite" "$root.new" "$mirror" "$script" \
    >"$state/debootstrap.log" 2>&1 ||
    { tail -20 "$state/debootstrap.log"; exit 1; }
  # testing's default python3, and every later python3.X it ships. The
  # package lists are debootstrap's own, so the choice and the packages are
  # those of one day of the archive.
  default=$(chroot "$root.new" apt-cache show --no-all-versions python3 |
            sed -n 's/^Version: \([0-9]*\.[0-9]*\).*/\1/p' | head -1)
  [ -n "$default" ] || { echo "newest_python.sh: $suite has no python3" >&2; exit 1; }
  versions=()
  while read -r version; do
    [ "$(printf '%s\n' "$default" "$version" | sort -V | head -1)" = "$default" ] &&
      versions+=("$version")
  done < <(chroot "$root.new" apt-cache search --names-only '^python3\.[0-9]+$' |
           sed -n 's/^python\(3\.[0-9]*\) .*/\1/p' | sort -uV)
  packages=()
  for version in "${versions[@]}"; do
    packages+=("python$version" "python$version-venv")
  done
  echo "== $suite: python3 is $default; installing ${packages[*]}"
  DEBIAN_FRONTEND=noninteractive chroot "$root.new" \
    env -i PATH="$clean_path" apt-get install -y -qq --no-install-recommends \
    "${packages[@]}" >"$state/apt.log" 2>&1 ||
    { tail -20 "$state/apt.log"; exit 1; }
  chroot "$root.new" apt-get clean
  printf '%s\n' "${versions[@]}" >"$root.new/.vonk-pythons"
  mv "$root.new" "$root"
else
  echo "== $suite root from $(date -r "$root/.vonk-pythons" '+%Y-%m-%d %H:%M') ($root)"
fi
mapfile -t versions <"$root/.vonk-pythons"
[ "${#versions[@]}" -gt 0 ] || { echo "newest_python.sh: no Python found" >&2; exit 1; }

# This run's files in the root: the network's settings, the wheel, this
# script and the source tree as it is here (the files git tracks or would).
cp /etc/resolv.conf "$root/etc/resolv.conf"
# Where this machine reaches PyPI through a proxy that only its own CA
# bundle trusts, the root's pip trusts that bundle too.
host_cert="${PIP_CERT:-${REQUESTS_CA_BUNDLE:-${SSL_CERT_FILE:-}}}"
if [ -z "$host_cert" ] && [ -f /etc/pip.conf ]; then
  host_cert=$(sed -n 's/^ *cert *= *//p' /etc/pip.conf | head -1)
fi
rm -f "$root/etc/pip.conf"
if [ -n "$host_cert" ] && [ -f "$host_cert" ]; then
  cp "$host_cert" "$root/etc/vonk-ci-ca.crt"
  printf '[global]\ncert = /etc/vonk-ci-ca.crt\n' >"$root/etc/pip.conf"
fi
rm -rf "$root/root/wheel" "$root/root/vonk"
mkdir -p "$root/root/wheel" "$root/root/vonk"
cp "$wheel" "$root/root/wheel/"
cp "$0" "$root/root/newest_python.sh"
git -C "$repo" ls-files -z --cached --others --exclude-standard |
  (cd "$repo" && while IFS= read -r -d '' file; do
     [ -f "$file" ] && printf '%s\0' "$file"
   done) |
  tar -C "$repo" --null -T - -cf - | tar -C "$root/root/vonk" -xf -

names=("${versions[@]/#/python}")
echo "== ready in $(( $(date +%s) - started )) s; the suite on ${names[*]}"
rm -rf "$state/results"
mkdir "$state/results"
status=0
unshare --mount --pid --fork --mount-proc --kill-child=TERM \
  --propagation private bash "$0" --inside "$root" "$state/results" "${versions[@]}" &
child=$!
wait "$child" || status=$?
child=""
echo
echo "== newest CPython of Debian $suite:"
sed 's/^/    /' "$state/results/summary" 2>/dev/null || true
echo "== newest CPython: $([ "$status" -eq 0 ] && echo passed || echo FAILED)" \
     "in $(( $(date +%s) - started )) s"
exit "$status"
