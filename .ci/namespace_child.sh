# Sourced by the CI scripts that run their steps in a chroot inside a
# namespace started by `unshare --fork` in the background, its process id
# in $child.
#
# mount_pseudo_filesystems ROOT: mounts /proc, a read-only /sys and
# /dev/shm in the chroot ROOT, recording each in the array `mounted`. A
# mount that fails is left out; the steps then meet its absence.
mount_pseudo_filesystems() {
  mount -t proc proc "$1/proc" && mounted+=("$1/proc")
  mount -t sysfs -o ro sysfs "$1/sys" && mounted+=("$1/sys")
  mount -t tmpfs -o mode=1777 tmpfs "$1/dev/shm" && mounted+=("$1/dev/shm")
  return 0
}

# unmount_recorded: unmounts what `mounted` records, the last first (lazily
# when busy); returns 1 when one could not be unmounted.
unmount_recorded() {
  local i status=0
  for (( i = ${#mounted[@]} - 1; i >= 0; i-- )); do
    mountpoint -q "${mounted[i]}" || continue
    umount "${mounted[i]}" || umount -l "${mounted[i]}" || status=1
  done
  return "$status"
}
#
# stop_namespace_child: when the script is interrupted while the steps run,
# stops them. unshare itself ignores TERM, so the shell it started (the
# namespace's first process) gets TERM and cleans up; when it ends, the
# kernel ends the rest of the namespace. Returns 1 when there was a child
# to stop (the run then fails), 0 otherwise.
stop_namespace_child() {
  [ -n "${child:-}" ] || return 0
  local inner _
  inner=$(pgrep -P "$child" || true)
  # shellcheck disable=SC2086
  [ -z "$inner" ] || kill -TERM $inner 2>/dev/null || true
  for _ in $(seq 150); do
    [ -n "$inner" ] && kill -0 "$inner" 2>/dev/null || break
    sleep 0.2
  done
  # shellcheck disable=SC2086
  [ -z "$inner" ] || kill -KILL $inner 2>/dev/null || true
  wait "$child" 2>/dev/null || true
  return 1
}
