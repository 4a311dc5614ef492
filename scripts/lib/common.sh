# Shared by scripts/test and scripts/demo: packages, builds and Wine.
# Source it from the repository's top folder.

TSL_PACKAGES="cmake ninja-build g++ make libexpat1-dev libssl-dev openssl libgtest-dev googletest
libbenchmark-dev g++-mingw-w64-x86-64-posix wine wine64 libgnutls30 libsystemd-dev pkg-config clang"

# Installs, with apt-get, the Debian packages that are not installed yet.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in $TSL_PACKAGES; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# configure_and_build <build folder> <extra cmake arguments...>
configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

# Wine runs in a prefix of the project's own. Its server is started once,
# persistent, with every output sent to /dev/null: otherwise whoever runs the
# tests waits for ever on pipes that Wine's background processes inherit.
wine_start() {
  export WINEPREFIX="${WINEPREFIX:-$PWD/build/wine-prefix}"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  mkdir -p "$WINEPREFIX"
  # Plain wineboot: "wineboot -i" starts a second service manager next to the
  # one that the session starts by itself, and the two keep service lists of
  # their own, so that one command sees a service that the next one does not.
  wineboot </dev/null >/dev/null 2>&1 || true
  (wineserver -p </dev/null >/dev/null 2>&1 &)
}

# wine_keep_alive <Windows program that runs until it is ended>: Wine ends its
# system processes (services.exe among them) when the last program of the
# session ends, and starts them again for the next one. A program that runs
# for the whole session keeps one service manager from start to end, so that
# no test meets one that is just starting or ending. wine_stop ends it.
wine_keep_alive() {
  (wine "$1" </dev/null >/dev/null 2>&1 &)
  # Until the session's service manager is up (at most 30 seconds).
  local i pid
  for i in $(seq 1 60); do
    for pid in $(pgrep -f 'system32\\services\.exe'); do
      tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
    done
    sleep 0.5
  done
}

wine_stop() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
}
