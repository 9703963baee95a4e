# Sourced by the scripts of the Windows legs of `make test`: the cross-build
# of the modules and the Win32 contract under Wine. Finds the tools and
# ends a leg as skipped, with the reason, when one is missing.

# The exit code ctest reports as "Skipped" (SKIP_RETURN_CODE).
readonly LEG_SKIPPED=77
readonly MINGW_TRIPLET=x86_64-w64-mingw32
readonly MINGW_PACKAGES="g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev"

skip_leg() {
  echo "SKIPPED: $1" >&2
  exit "$LEG_SKIPPED"
}

# Sets MINGW_CXX, MINGW_DLLTOOL, MINGW_NM and MINGW_OBJDUMP, or skips.
require_mingw() {
  local leg=$1 tool
  for tool in g++-posix dlltool nm objdump; do
    command -v "$MINGW_TRIPLET-$tool" >/dev/null 2>&1 ||
      skip_leg "$leg: $MINGW_TRIPLET-$tool is not installed (Debian packages: $MINGW_PACKAGES)"
  done
  MINGW_CXX=$MINGW_TRIPLET-g++-posix
  MINGW_DLLTOOL=$MINGW_TRIPLET-dlltool
  MINGW_NM=$MINGW_TRIPLET-nm
  MINGW_OBJDUMP=$MINGW_TRIPLET-objdump
}

# The names a Windows DLL or .pyd exports, one a line.
pe_exports() {
  "${MINGW_OBJDUMP:-$MINGW_TRIPLET-objdump}" -p "$1" |
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -nE 's/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+([^[:space:]]+).*/\1/p'
}

# Sets WINE and WINESERVER, or skips. Debian's wine64 package keeps its
# loader out of PATH, in /usr/lib/wine.
require_wine() {
  local leg=$1
  WINE=$(command -v wine64 || true)
  [ -n "$WINE" ] || { [ -x /usr/lib/wine/wine64 ] && WINE=/usr/lib/wine/wine64; }
  [ -n "$WINE" ] || skip_leg "$leg: wine64 is not installed (Debian package: wine64)"
  WINESERVER=$(dirname "$WINE")/wineserver
  [ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver || true)
  [ -n "$WINESERVER" ] || skip_leg "$leg: wineserver is not installed (Debian package: wine64)"
}

# Configures and builds one cross tree: cross_build <source> <binary> [cmake args...]
# Builds every target it can (-k) so that a link failure still leaves all
# objects behind for the checks that read them; returns the build status.
cross_build() {
  local source=$1 binary=$2
  shift 2
  # A leg may run under `make test`; the cross tree's make is its own.
  unset MAKEFLAGS MFLAGS MAKELEVEL
  cmake -S "$source" -B "$binary" \
    -DCMAKE_TOOLCHAIN_FILE="$PROJECT_ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$binary.configure.log" 2>&1 ||
    { cat "$binary.configure.log" >&2; return 1; }
  cmake --build "$binary" --parallel "${CROSS_BUILD_JOBS:-2}" -- -k
}

# Readies the Wine prefix every leg shares, <build-dir>/wine-prefix, and
# exports what each Wine run needs: sets WINEPREFIX, or fails. Made on first
# use (wineboot, then the null graphics driver so that windows exist without
# a display) and only then marked ready: a prefix still booting makes window
# and message tests fail. The legs that use it hold ctest's wine_prefix lock,
# so one session at a time runs in it. The session is ended when the calling
# script exits; the wait for it is bounded, since a leftover Windows process
# can keep the wine server up for ever.
prepare_wine_prefix() {
  local build_dir=$1 log=$1/wine-prefix.log
  export WINEPREFIX=$build_dir/wine-prefix
  export WINEDEBUG=-all
  # No Mono or Gecko installers, and no debugger that would wait on a crash.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
  # Wine decodes drive labels as UTF-8 only under a UTF-8 locale.
  export LC_ALL=C.UTF-8
  unset DISPLAY WAYLAND_DISPLAY
  trap 'timeout 60 "$WINESERVER" -w >/dev/null 2>&1 || "$WINESERVER" -k >/dev/null 2>&1 || true' EXIT

  local ready_marker=$WINEPREFIX/.contract-prefix-ready started
  if [ ! -f "$ready_marker" ]; then
    rm -rf "$WINEPREFIX"
    started=$(date +%s)
    timeout 300 "$WINE" wineboot --init >"$log" 2>&1 ||
      { cat "$log" >&2; echo "could not make the Wine prefix" >&2; exit 1; }
    timeout 120 "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
      >>"$log" 2>&1 ||
      { cat "$log" >&2; echo "could not select the null graphics driver" >&2; exit 1; }
    timeout 120 "$WINESERVER" -w
    touch "$ready_marker"
    echo "made the Wine prefix $WINEPREFIX in $(($(date +%s) - started)) s"
  fi
}
