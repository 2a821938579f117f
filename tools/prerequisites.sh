# Sourced by tools/install.sh and tools/test.sh (bash). Defines
#   vonk_require_packages [test]
# which makes sure the system has what building vonk needs (a C/C++
# compiler, and for a Python of the system's own, its venv module and
# headers) and, with "test", GoogleTest as well. Missing Debian packages are
# installed with apt-get when running as root; otherwise it prints the one
# command to run and exits with status 1 before anything else is done.

# Prints the names of the Debian packages that are missing, one a line.
vonk_missing_packages() {
  command -v g++ >/dev/null && command -v gcc >/dev/null || echo g++
  if ! python3 -c 'import ensurepip, venv' 2>/dev/null; then
    echo python3-venv
  fi
  local include
  include=$(python3 -c 'import sysconfig; print(sysconfig.get_path("include"))')
  [ -f "$include/Python.h" ] || echo python3-dev
  if [ "${1:-}" = test ]; then
    if command -v dpkg-query >/dev/null; then
      dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null |
        grep -q "ok installed" || echo libgtest-dev
    elif [ ! -f /usr/include/gtest/gtest.h ]; then
      echo libgtest-dev
    fi
  fi
}

vonk_require_packages() {
  if ! command -v python3 >/dev/null; then
    echo "vonk: python3 is not on PATH; install Python 3.10 or later" >&2
    exit 1
  fi
  local missing
  missing=$(vonk_missing_packages "$@" | tr '\n' ' ')
  missing=${missing% }
  [ -n "$missing" ] || return 0
  if ! command -v apt-get >/dev/null; then
    echo "vonk: missing: $missing (a C/C++ compiler, Python's venv module and" \
         "headers, GoogleTest for the tests); install them with the system's" \
         "package manager" >&2
    exit 1
  fi
  if [ "$(id -u)" -ne 0 ]; then
    local update=""
    # With no package lists (a fresh container) apt-get install finds nothing.
    compgen -G '/var/lib/apt/lists/*_Packages' >/dev/null ||
      update="sudo apt-get update && "
    echo "vonk: system packages are missing; install them with:" >&2
    echo "    ${update}sudo apt-get install $missing" >&2
    exit 1
  fi
  echo "== installing $missing (apt-get)"
  local log
  log=$(mktemp "${TMPDIR:-/tmp}/vonk-apt.XXXXXX")
  # shellcheck disable=SC2086
  if ! { apt-get update -qq &&
         DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
           --no-install-recommends $missing; } >"$log" 2>&1; then
    tail -20 "$log" >&2
    echo "vonk: apt-get install $missing failed" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
}
