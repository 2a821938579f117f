#!/usr/bin/env bash
# Runs the two commands of README's "Set up" section, exactly as README holds
# them, on a bare Debian 12 (a debootstrap minbase root with only python3),
# each in a fresh clone of this repository's HEAD, through chroot with a
# clean environment:
#   1. as a user without root, before anything is installed: each command
#      must stop at once, printing the `sudo apt-get install ...` line;
#   2. as root: each command must install what is missing and pass;
#   3. as that user again, now that the packages are there: both must pass.
# Needs root, debootstrap, git and unshare (util-linux). The pristine root is
# cached in /var/cache/vonk-ci/ (one tarball a day); everything else lives
# in a scratch directory that is removed at the end. The chroot runs in a
# mount and PID namespace of its own, so its mounts and processes end with
# it; the trap unmounts and kills them itself as well, on every exit path.
#   bash .ci/bare_machine.sh
set -euo pipefail
# shellcheck source=.ci/namespace_child.sh
. "$(dirname "${BASH_SOURCE[0]}")/namespace_child.sh"

suite=bookworm
# The same mirror as the host's apt sources.
mirror="${VONK_CI_MIRROR:-http://deb.debian.org/debian}"
cache_dir="${VONK_CI_CACHE:-/var/cache/vonk-ci}"
user=vonk
step_timeout="${VONK_CI_STEP_TIMEOUT:-1500}"
clean_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
user_path=/usr/local/bin:/usr/bin:/bin

# --- Inside the namespaces: run the steps -----------------------------------
if [ "${1:-}" = --inside ]; then
  root="$2"
  cmd1="$3"
  cmd2="$4"
  mounted=()
  # kill_chroot SIGNAL: signals every process whose root is the chroot;
  # fails when there was none. (/proc is this PID namespace's own.)
  kill_chroot() {
    local pid found=1
    for pid in /proc/[0-9]*; do
      if [ "$(readlink "$pid/root" 2>/dev/null)" = "$root" ]; then
        kill "-$1" "${pid#/proc/}" 2>/dev/null && found=0
      fi
    done
    return "$found"
  }
  cleanup() {
    local status=$?
    trap - INT TERM
    if kill_chroot TERM; then
      sleep 2
      kill_chroot KILL && sleep 1
    fi
    unmount_recorded || status=1
    exit "$status"
  }
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  mount_pseudo_filesystems "$root"

  # run LABEL WHO EXPECT COMMAND: runs COMMAND in WHO's clone (WHO is root or
  # the user); EXPECT is "pass", or "stop" for a command that must end at
  # once with a non-zero status and the sudo line.
  failures=0
  run() {
    local label="$1" who="$2" expect="$3" command="$4"
    local home=/root userspec=0:0 path="$clean_path"
    if [ "$who" != root ]; then
      home="/home/$who"; userspec="$who:$who"; path="$user_path"
    fi
    local log="$root/../$label.log"
    echo
    echo "=== $label: as $who, in $home/vonk: $command"
    local start status=0
    start=$(date +%s)
    # In the background, so that a signal to this shell is handled at once.
    { local rc=0
      timeout -k 10 "$step_timeout" \
        chroot --userspec="$userspec" "$root" \
        env -i HOME="$home" USER="$who" LOGNAME="$who" PATH="$path" \
        /bin/bash -c "cd ~/vonk && $command" </dev/null 2>&1 || rc=$?
      echo "$rc" >"$log.status"
    } | tee "$log" &
    wait "$!" || true
    status=$(cat "$log.status")
    local took=$(( $(date +%s) - start ))
    echo "=== $label: exit status $status after $took s"
    if [ "$expect" = pass ]; then
      [ "$status" -eq 0 ] || { echo "=== $label FAILED"; failures=$((failures + 1)); }
    elif [ "$status" -eq 0 ] || ! grep -q '^ *sudo apt-get install ' "$log" ||
         [ "$took" -gt 10 ]; then
      echo "=== $label FAILED: it should stop at once with the sudo line"
      failures=$((failures + 1))
    fi
  }
  run user-install "$user" stop "$cmd1"
  run user-test "$user" stop "$cmd2"
  run root-install root pass "$cmd1"
  run root-test root pass "$cmd2"
  run user-install-2 "$user" pass "$cmd1"
  run user-test-2 "$user" pass "$cmd2"
  [ "$failures" -eq 0 ]
  exit
fi

# --- Outside: prepare the root, then enter the namespaces -------------------
if [ "$(id -u)" -ne 0 ]; then
  echo "bare_machine.sh: needs root (debootstrap, chroot, mount)" >&2
  exit 1
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
started=$(date +%s)

# README's two commands: the one line of each ```sh block of "## Set up".
mapfile -t commands < <(awk '
  /^## / { section = ($0 == "## Set up") }
  section && /^```sh$/ { inside = 1; lines = 0; next }
  section && inside && /^```$/ {
    inside = 0
    if (lines != 1) { print "BLOCK WITH " lines " LINES"; exit 1 }
    next
  }
  section && inside { print; lines++ }
' "$repo/README.md")
if [ "${#commands[@]}" -ne 2 ] || [[ "${commands[*]}" == *"BLOCK WITH"* ]]; then
  echo "bare_machine.sh: README's Set up section must hold exactly two" \
       "one-line sh blocks; found: ${commands[*]:-none}" >&2
  exit 1
fi
echo "== README's commands:"
printf '    %s\n' "${commands[@]}"

mkdir -p "$cache_dir"
tarball="$cache_dir/$suite-minbase-python3-$(date -u +%Y%m%d).tar"
work=$(mktemp -d /var/tmp/vonk-ci.XXXXXX)
root="$work/root"
child=""
# Prints the process ids whose root is the chroot.
chroot_processes() {
  local pid
  for pid in /proc/[0-9]*; do
    [ "$(readlink "$pid/root" 2>/dev/null)" != "$root" ] || echo "${pid#/proc/}"
  done
}
remove_work() {
  local status=$?
  stop_namespace_child || status=1
  local pids
  pids=$(chroot_processes)
  if [ -n "$pids" ]; then
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
    sleep 1
  fi
  # Never remove through a mount point: anything still mounted stays.
  if grep -q " $work/" /proc/mounts; then
    echo "bare_machine.sh: mounts left under $work:" >&2
    grep " $work/" /proc/mounts >&2
    status=1
  else
    rm -rf --one-file-system "$work" || status=1
  fi
  rm -rf "$tarball.partial"
  exit "$status"
}
trap remove_work EXIT
trap 'exit 130' INT TERM

if [ ! -f "$tarball" ]; then
  echo "== debootstrap --variant=minbase $suite (cached in $tarball)"
  mkdir "$work/fresh"
  # In a mount namespace of its own, so the mounts it makes in the root end
  # with it even when it fails.
  unshare --mount --propagation private \
    debootstrap --variant=minbase --include=python3 "$suite" "$work/fresh" \
    "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log"; exit 1; }
  tar -C "$work/fresh" --numeric-owner -cf "$tarball.partial" .
  mv "$tarball.partial" "$tarball"
  rm -rf --one-file-system "$work/fresh"
  find "$cache_dir" -name "$suite-minbase-python3-*.tar" ! -path "$tarball" -delete
fi
mkdir "$root"
tar -C "$root" --numeric-owner -xf "$tarball"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# Where this machine reaches PyPI through a proxy that only its own CA
# bundle trusts, the root's pip trusts that bundle too (the network's
# setting, not a step of the user's).
host_cert="${PIP_CERT:-${REQUESTS_CA_BUNDLE:-${SSL_CERT_FILE:-}}}"
if [ -z "$host_cert" ] && [ -f /etc/pip.conf ]; then
  host_cert=$(sed -n 's/^ *cert *= *//p' /etc/pip.conf | head -1)
fi
if [ -n "$host_cert" ] && [ -f "$host_cert" ]; then
  cp "$host_cert" "$root/etc/vonk-ci-ca.crt"
  printf '[global]\ncert = /etc/vonk-ci-ca.crt\n' >"$root/etc/pip.conf"
  echo "== the root's pip trusts this machine's CA bundle ($host_cert)"
fi
chroot "$root" useradd --create-home --shell /bin/bash "$user"
git clone -q "$repo" "$root/root/vonk"
git clone -q "$repo" "$root/home/$user/vonk"
chroot "$root" chown -R "$user:$user" "/home/$user/vonk"
echo "== root ready in $(( $(date +%s) - started )) s: $(chroot "$root" python3 --version)," \
     "$(chroot "$root" dpkg-query -W -f='${binary:Package}\n' | wc -l) packages"

# The steps run in a mount and PID namespace of their own, with their own
# /proc: when they end, however they end, so do their mounts and processes.
status=0
unshare --mount --pid --fork --mount-proc --kill-child=TERM \
  --propagation private bash "$0" --inside "$root" "${commands[@]}" &
child=$!
wait "$child" || status=$?
child=""
if chroot_processes | grep -q .; then
  echo "bare_machine.sh: processes left in the chroot: $(chroot_processes)" >&2
  status=1
fi
echo "== bare machine: $([ "$status" -eq 0 ] && echo passed || echo FAILED)" \
     "in $(( $(date +%s) - started )) s"
exit "$status"
