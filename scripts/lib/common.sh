# Shared by scripts/test, scripts/demo and scripts/package: Debian packages, builds and Wine.
# Source it from the repository's top folder.

# What the Linux build needs (the demo needs no more), what the Windows build and Wine add, what
# making and checking the packages adds, and what only the tests add.
TSL_LINUX_PACKAGES="cmake ninja-build g++ make libexpat1-dev libssl-dev openssl libgtest-dev googletest
libbenchmark-dev libsystemd-dev pkg-config"
TSL_WINDOWS_PACKAGES="g++-mingw-w64-x86-64-posix wine wine64 libgnutls30"
TSL_PACKAGING_PACKAGES="dpkg-dev file gzip lintian"
# What only the tests, the benchmark and the fuzzing use: a real systemd for the tests of the
# service's unit, supervisord and pgrep for the benchmark beside it, clang for the fuzz targets.
TSL_TEST_PACKAGES="systemd supervisor procps clang"
TSL_PACKAGES="$TSL_LINUX_PACKAGES $TSL_WINDOWS_PACKAGES $TSL_PACKAGING_PACKAGES $TSL_TEST_PACKAGES"

# ensure_packages [package list]: installs, with apt-get, the Debian packages
# that are not installed yet (all of TSL_PACKAGES by default).
ensure_packages() {
  local missing=()
  local pkg
  for pkg in ${1:-$TSL_PACKAGES}; do
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

# package_linux: the release build in build/package-linux, with Debian's
# build flags, and its .deb; prints the package's path.
package_linux() {
  local dir=build/package-linux
  # Debian's flags: hardening (fortified functions, stack protector, full RELRO).
  local cppflags cxxflags ldflags
  cppflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS) || return 1
  cxxflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS) || return 1
  ldflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS) || return 1
  package_build "$dir" -DTSL_INSTALL_LAYOUT=debian "-DCMAKE_CXX_FLAGS=$cppflags $cxxflags" \
    "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags" || return 1
  ls "$PWD/$dir"/packages/*.deb
}

# package_windows: the release build in build/package-windows (MinGW-w64) and
# its zip; prints the package's path.
package_windows() {
  local dir=build/package-windows
  package_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" || return 1
  ls "$PWD/$dir"/packages/*.zip
}

# package_build <build folder> <extra cmake arguments...>: a release build
# without the test suites, and CPack in it. Progress goes to standard error.
package_build() {
  local dir=$1
  shift
  rm -rf "$dir/packages"
  { cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTSL_WERROR=ON -DTSL_BUILD_TESTS=OFF "$@" >/dev/null &&
    cmake --build "$dir" -j "$(nproc)" &&
    (cd "$dir" && cpack); } >&2
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
