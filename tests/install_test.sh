#!/usr/bin/env bash
# Installs the build into a scratch prefix (and with DESTDIR), checks the file
# layout, and runs the installed reelwright-fix: moved away from the configured
# prefix, it must still find its own language module.
#
# Environment, set by the test's registration: CMAKE (the cmake to run),
# BUILD_DIR, INSTALL_PREFIX (the configured prefix), BINDIR, LIBDIR, DATADIR,
# MANDIR (relative install folders), VERSION, HELP_SOURCE (data/help.html), GUI (ON/OFF),
# ICON_SIZES (blank-separated).
set -euo pipefail

scratch=$(mktemp -d "${TMPDIR:-/tmp}/reelwright-install-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Every installed file the program needs, under prefix $1.
check_layout() {
  local prefix=$1
  [[ -x $prefix/$BINDIR/reelwright-fix ]] || fail "$prefix/$BINDIR/reelwright-fix missing or not executable"
  for module in lang.so lang.de.so; do
    [[ -f $prefix/$LIBDIR/reelwright/$module ]] || fail "$prefix/$LIBDIR/reelwright/$module missing"
  done
  local guide
  for guide in help.html help.de.html; do
    if [[ -f $prefix/$DATADIR/reelwright/$guide ]]; then
      cmp -s "$(dirname "$HELP_SOURCE")/$guide" "$prefix/$DATADIR/reelwright/$guide" ||
        fail "installed $guide differs from its source"
    else
      fail "$prefix/$DATADIR/reelwright/$guide missing"
    fi
  done
  local desktop=$prefix/$DATADIR/applications/reelwright.desktop
  if [[ -f $desktop ]]; then
    grep -qx 'Exec=reelwright %F' "$desktop" || fail "$desktop: no 'Exec=reelwright %F'"
    grep -qx 'Icon=reelwright' "$desktop" || fail "$desktop: no 'Icon=reelwright'"
    if command -v desktop-file-validate >/dev/null; then
      desktop-file-validate "$desktop" || fail "$desktop does not validate"
    fi
  else
    fail "$desktop missing"
  fi
  for page in reelwright-fix.1 reelwright.1; do
    local man=$prefix/$MANDIR/man1/$page.gz
    if [[ -f $man ]]; then
      LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$man" 2>/dev/null | grep -q '^NAME' || fail "$man does not render"
    else
      fail "$man missing"
    fi
  done
  local metainfo=$prefix/$DATADIR/metainfo/org.example.reelwright.metainfo.xml
  [[ -f $metainfo ]] || fail "$metainfo missing"
  [[ -f $prefix/$DATADIR/bash-completion/completions/reelwright-fix ]] ||
    fail "$prefix/$DATADIR/bash-completion/completions/reelwright-fix missing"
  if [[ $GUI == ON ]]; then
    [[ -x $prefix/$BINDIR/reelwright ]] || fail "$prefix/$BINDIR/reelwright missing or not executable"
    for size in $ICON_SIZES; do
      local icon=$prefix/$DATADIR/icons/hicolor/${size}x${size}/apps/reelwright.png
      if [[ ! -f $icon ]]; then
        fail "$icon missing"
        continue
      fi
      # PNG signature, then the IHDR chunk's width and height (big-endian).
      local header
      header=$(od -An -tx1 -N24 "$icon" | tr -d ' \n')
      [[ ${header:0:16} == 89504e470d0a1a0a ]] || fail "$icon is not a PNG file"
      local width=$((16#${header:32:8})) height=$((16#${header:40:8}))
      [[ $width == "$size" && $height == "$size" ]] || fail "$icon is ${width}x${height}, not ${size}x${size}"
    done
  fi
}

# Runs the installed tool without the library path a caller may have set, so
# the module can come only from the program's own search.
run_installed() {
  env -u LD_LIBRARY_PATH "$@"
}

# The installed tool under prefix $1 finds a module: its own, not one in the
# configured install folder.
check_installed_program() {
  local prefix=$1
  local program=$prefix/$BINDIR/reelwright-fix
  local output status

  output=$(run_installed "$program" --version 2>&1) || fail "$program --version failed"
  [[ $output == "reelwright-fix (Reelwright) $VERSION" ]] || fail "$program --version printed: $output"

  local not_avi=$scratch/not-an-avi.bin
  head -c 4096 /dev/zero >"$not_avi"
  status=0
  output=$(run_installed "$program" --check "$not_avi" 2>&1) || status=$?
  [[ $status == 1 ]] || fail "$program --check on a non-AVI file: exit status $status, not 1"
  [[ $output != *"Load lang DLL FAILED!"* ]] || fail "$program did not find its language module: $output"
  [[ $output == *"$not_avi is not an AVI file."* ]] || fail "$program --check printed: $output"

  # With the German module in this prefix's place, German texts show that the
  # module came from here rather than from an install in the configured prefix.
  cp "$prefix/$LIBDIR/reelwright/lang.de.so" "$prefix/$LIBDIR/reelwright/lang.so"
  status=0
  output=$(run_installed "$program" --check "$not_avi" 2>&1) || status=$?
  [[ $output == *"$not_avi ist keine AVI-Datei."* ]] ||
    fail "$program did not load the module installed beside it: $output"
}

# An install under another prefix.
prefix=$scratch/prefix
if "$CMAKE" --install "$BUILD_DIR" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
  check_layout "$prefix"
  check_installed_program "$prefix"
else
  cat "$scratch/install.log" >&2
  fail "cmake --install --prefix $prefix failed"
fi

# A staged install, as a package build makes it: the configured prefix below DESTDIR.
stage=$scratch/stage
if DESTDIR=$stage "$CMAKE" --install "$BUILD_DIR" >"$scratch/install.log" 2>&1; then
  check_layout "$stage$INSTALL_PREFIX"
  check_installed_program "$stage$INSTALL_PREFIX"
else
  cat "$scratch/install.log" >&2
  fail "DESTDIR=$stage cmake --install failed"
fi

if ((failures > 0)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install layout and installed program: OK"
