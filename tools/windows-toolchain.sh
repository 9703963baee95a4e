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
