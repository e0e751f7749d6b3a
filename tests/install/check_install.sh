#!/usr/bin/env bash
# Installs an ordinary build tree into a temporary prefix and packs it as a .deb, then checks what a
# user gets: the layout, the desktop entry, the manual page, the package's contents and
# dependencies, and the installed program in intake mode, found libraries through its run path only.
# Usage: check_install.sh BUILD_TREE
set -uo pipefail

build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/sondrel-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
checks=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  checks=$((checks + 1))
  if ! "$@"; then fail "$what"; fi
}
cache_value() {
  sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"
}

if [ ! -x "$build/bin/sondrel" ]; then
  echo "FAIL: $build/bin/sondrel is not built" >&2
  exit 1
fi
libdir=$(cache_value CMAKE_INSTALL_LIBDIR)
private="$libdir/sondrel"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")

# The complete list of what an installation holds, relative to the prefix. Anything missing or
# extra is a fault.
expected_files() {
  local engine_real
  engine_real=$(readelf -d "$build/$private/libzip32.so" |
                sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  {
    echo "bin/sondrel"
    echo "$private/libTv_ZIP.so"
    echo "$private/libzip32.so"
    echo "$private/$engine_real"
    # A versioned file behind the SONAME link, if the engine has one.
    local target
    target=$(readlink "$build/$private/$engine_real" || true)
    if [ -n "$target" ]; then echo "$private/$target"; fi
    echo "share/applications/sondrel.desktop"
    echo "share/icons/hicolor/scalable/apps/sondrel.svg"
    echo "share/icons/hicolor/48x48/apps/sondrel.png"
    echo "share/icons/hicolor/256x256/apps/sondrel.png"
    echo "share/man/man1/sondrel.1.gz"
    echo "share/man/de/man1/sondrel.1.gz"
  } | sort
}

runpath_of() {
  readelf -d "$1" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p'
}

# Runs an installed program in intake mode the way a file manager would: no display, no library
# path, its own XDG folders; then prints the stored backup list, one path a line, in list order.
run_intake() {  # run_intake PROGRAM HOME ARG...
  local program=$1 home=$2
  shift 2
  mkdir -p "$home/config" "$home/state" "$home/runtime"
  chmod 700 "$home/runtime"
  env -u LD_LIBRARY_PATH -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
      HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" \
      XDG_RUNTIME_DIR="$home/runtime" "$program" "$@" </dev/null >"$home/out.txt" 2>&1
}
stored_list() {  # stored_list HOME
  sqlite3 "$1/config/tarvello/registry.sqlite3" \
    "select cast(data as text) from reg_values
     where key = 'Software\\Tarvello\\Backup' and name like 'File%'
     order by cast(substr(name, 5) as integer)"
}
stored_count() {
  sqlite3 "$1/config/tarvello/registry.sqlite3" \
    "select cast(data as text) from reg_values
     where key = 'Software\\Tarvello\\Backup' and name = 'Count'"
}

check_intake() {  # check_intake PROGRAM LABEL
  local program=$1 label=$2
  local home="$work/home-$label"
  local files="$home/Dateien"
  mkdir -p "$files/Mein Ordner/Unterordner" "$files/Briefe"
  echo a >"$files/Mein Ordner/Rechnung 2026.pdf"
  echo b >"$files/Mein Ordner/Unterordner/Notiz.txt"
  echo c >"$files/Briefe/Brief.odt"
  echo d >"$files/Einzeln mit  zwei Blanks.txt"

  run_intake "$program" "$home" "$files/Mein Ordner" "$files/Einzeln mit  zwei Blanks.txt" \
    "$files/Briefe/Brief.odt" "$files/fehlt.txt"
  local rc=$?
  check "$label: intake mode ends with 0 (got $rc): $(head -c 2000 "$home/out.txt")" \
    test "$rc" -eq 0
  check "$label: intake mode wrote no settings store" \
    test -f "$home/config/tarvello/registry.sqlite3"
  local want got
  want=$(printf '%s\n' "$files/Mein Ordner/Rechnung 2026.pdf" \
    "$files/Mein Ordner/Unterordner/Notiz.txt" "$files/Einzeln mit  zwei Blanks.txt" \
    "$files/Briefe/Brief.odt" "$files/fehlt.txt" | sort)
  got=$(stored_list "$home" | sort)
  check "$label: stored list is
$got
instead of
$want" test "$got" = "$want"
  check "$label: stored count $(stored_count "$home") instead of 5" \
    test "$(stored_count "$home")" = 5

  # A second run adds nothing twice; loading the list drops the path that names no file.
  run_intake "$program" "$home" "$files/Briefe" "$files/Mein Ordner/Rechnung 2026.pdf"
  rc=$?
  check "$label: second intake run ends with 0 (got $rc)" test "$rc" -eq 0
  want=$(grep -vF "$files/fehlt.txt" <<<"$want")
  got=$(stored_list "$home" | sort)
  check "$label: after the second run the stored list is
$got
instead of
$want" test "$got" = "$want"
  check "$label: after the second run the stored count is $(stored_count "$home"), not 4" \
    test "$(stored_count "$home")" = 4
}

# --- cmake --install into a temporary prefix -----------------------------------------------------
prefix="$work/prefix"
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  fail "cmake --install failed"
  exit 1
fi

got_files=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
want_files=$(expected_files)
check "installed files differ from the expected layout:
$(diff <(echo "$want_files") <(echo "$got_files"))" test "$got_files" = "$want_files"

check "bin/sondrel is not executable" test -x "$prefix/bin/sondrel"
check "libzip32.so (the name the component opens) does not lead to a library" \
  test -f "$prefix/$private/libzip32.so"
check "libzip32.so is not a link to its versioned file" test -L "$prefix/$private/libzip32.so"
for symbol in ZpInit ZpSetOptions ZpArchive; do
  check "the installed engine does not export $symbol" \
    grep -qx "$symbol" <<<"$(nm -D --defined-only "$prefix/$private/libzip32.so" | awk '{print $3}')"
done

# Run paths: relative to the binaries, never into the build tree.
check "bin/sondrel has run path '$(runpath_of "$prefix/bin/sondrel")'" \
  test "$(runpath_of "$prefix/bin/sondrel")" = "\$ORIGIN/../$private"
check "libTv_ZIP.so has run path '$(runpath_of "$prefix/$private/libTv_ZIP.so")'" \
  test "$(runpath_of "$prefix/$private/libTv_ZIP.so")" = "\$ORIGIN"
for elf in bin/sondrel "$private/libTv_ZIP.so" "$private/libzip32.so"; do
  check "$elf still names the build tree" \
    test -z "$(readelf -d "$prefix/$elf" | grep -F "$build")"
  missing=$(env -u LD_LIBRARY_PATH ldd "$prefix/$elf" | grep 'not found')
  check "$elf misses libraries: $missing" test -z "$missing"
done
component=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/sondrel" |
            awk '$1 == "libTv_ZIP.so" {print $3}')
check "bin/sondrel loads libTv_ZIP.so from '$component', not from the prefix" \
  test -n "$component" -a "$(realpath -m "${component:-/}")" = \
  "$(realpath "$prefix/$private/libTv_ZIP.so")"

# --- desktop entry and icon ----------------------------------------------------------------------
desktop="$prefix/share/applications/sondrel.desktop"
check "desktop-file-validate: $(desktop-file-validate "$desktop" 2>&1)" \
  test -z "$(desktop-file-validate "$desktop" 2>&1)"
entry() { sed -n "s/^$1=//p" "$desktop"; }
check "desktop Name is '$(entry Name)'" test "$(entry Name)" = "Tarvello-Backup"
check "desktop Comment is '$(entry Comment)'" test "$(entry Comment)" = \
  "Backup-Utility für die tägliche Sicherung von Benutzerdateien in eine ZIP-Datei"
check "desktop Exec is '$(entry Exec)'" test "$(entry Exec)" = "sondrel %F"
check "desktop Icon '$(entry Icon)' is not the installed icon" test "$(entry Icon)" = sondrel
for category in Utility Archiving; do
  check "desktop Categories lack $category" grep -q "^Categories=\(.*;\)\?$category;" "$desktop"
done
for mime in inode/directory application/octet-stream; do
  check "desktop MimeType lacks $mime" grep -q "^MimeType=\(.*;\)\?$mime;" "$desktop"
done
for size in 48 256; do
  png="$prefix/share/icons/hicolor/${size}x${size}/apps/sondrel.png"
  check "the ${size}x${size} icon is $(file -b "$png")" \
    grep -q "PNG image data, $size x $size," <<<"$(file -b "$png")"
done
check "the scalable icon is no SVG" \
  grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/sondrel.svg"

# --- manual page ---------------------------------------------------------------------------------
for page in "$prefix/share/man/man1/sondrel.1.gz" "$prefix/share/man/de/man1/sondrel.1.gz"; do
  text=$(LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings -l "$page" 2>"$work/man.err")
  check "man -l $page warns: $(cat "$work/man.err")" test ! -s "$work/man.err"
  for heading in NAME ÜBERSICHT BESCHREIBUNG DATEIEN EXIT-STATUS; do
    check "the manual page lacks the section $heading" grep -qx "$heading" <<<"$text"
  done
  for phrase in '$XDG_CONFIG_HOME/tarvello/registry.sqlite3' '~/.config/tarvello/registry.sqlite3' \
    '$XDG_STATE_HOME/tarvello/archive-marks.sqlite3' \
    '~/.local/state/tarvello/archive-marks.sqlite3' "Sondrel $version"; do
    check "the manual page does not mention $phrase" grep -qF "$phrase" <<<"$text"
  done
done
# "man sondrel" as a German user would type it, with the prefix as the manual's path.
check "man -L de does not find the page in the prefix" \
  grep -q 'Aufnahmemodus' <<<"$(LC_ALL=C.UTF-8 MANWIDTH=100 man -M "$prefix/share/man" -L de sondrel 2>&1)"

# --- the installed program in intake mode --------------------------------------------------------
check_intake "$prefix/bin/sondrel" installed

# --- the Debian package --------------------------------------------------------------------------
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack failed"
  exit 1
fi
deb="$work/deb/sondrel_${version}_amd64.deb"
check "no package $(basename "$deb") (got: $(cd "$work/deb" && ls *.deb 2>/dev/null))" test -f "$deb"
if [ -f "$deb" ]; then
  deb_files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' | sort)
  check "package contents differ from the installation:
$(diff <(echo "$want_files") <(echo "$deb_files"))" test "$deb_files" = "$want_files"
  listing=$(dpkg-deb -c "$deb")
  check "/usr/bin/sondrel in the package is not root-owned and executable" \
    grep -q '^-rwxr-xr-x root/root .* ./usr/bin/sondrel$' <<<"$listing"

  field() { dpkg-deb -f "$deb" "$1"; }
  check "Package is '$(field Package)'" test "$(field Package)" = sondrel
  check "Version is '$(field Version)'" test "$(field Version)" = "$version"
  check "Architecture is '$(field Architecture)'" test "$(field Architecture)" = amd64
  check "Section is '$(field Section)'" test "$(field Section)" = utils
  check "Maintainer is empty" test -n "$(field Maintainer)"
  check "Description is empty" test -n "$(field Description)"
  depends=$(field Depends)
  for dep in 'libqt6core6\b' 'libqt6gui6\b' 'libqt6widgets6\b' 'libsqlite3-0\b' 'libzip[0-9]+\b' \
    'libdeflate[0-9]+\b' 'qt6-qpa-plugins\b' 'libc6 \(>='; do
    check "Depends lacks $dep: $depends" grep -qE "(^|, )$dep" <<<"$depends"
  done
  check "Depends names our own libraries: $depends" \
    test -z "$(grep -iE 'zip32|tv-?zip' <<<"$depends")"

  # The packaged (stripped) program works from wherever the package is unpacked.
  dpkg-deb -x "$deb" "$work/unpacked"
  check_intake "$work/unpacked/usr/bin/sondrel" packaged
fi

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
