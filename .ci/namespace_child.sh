# Sourced by the CI scripts that run their steps in a namespace started by
# `unshare --fork` in the background, its process id in $child.
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
