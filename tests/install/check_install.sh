#!/usr/bin/env bash
# Installs an ordinary build tree into a temporary prefix and packs it as a .deb, then checks what a
# user gets: the layout, the desktop entry, the manual pages, the systemd user units, the package's
# contents, dependencies and lintian's verdict, and the installed programs (intake, then a backup),
# found libraries through their run path only.
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
    echo "bin/sondrel-backup"
    echo "bin/sondrel-restore"
    echo "$private/libTv_ZIP.so"
    echo "$private/libzip32.so"
    echo "$private/$engine_real"
    # A versioned file behind the SONAME link, if the engine has one.
    local target
    target=$(readlink "$build/$private/$engine_real" || true)
    if [ -n "$target" ]; then echo "$private/$target"; fi
    echo "share/applications/sondrel.desktop"
    echo "share/kio/servicemenus/sondrel.desktop"
    echo "share/file-manager/actions/sondrel.desktop"
    echo "share/nemo/actions/sondrel.nemo_action"
    echo "share/icons/hicolor/scalable/apps/sondrel.svg"
    echo "share/icons/hicolor/48x48/apps/sondrel.png"
    echo "share/icons/hicolor/256x256/apps/sondrel.png"
    echo "lib/systemd/user/sondrel-backup.service"
    echo "lib/systemd/user/sondrel-backup.timer"
    echo "share/doc/sondrel/copyright"
    echo "share/doc/sondrel/changelog.gz"
    echo "share/man/man1/sondrel.1.gz"
    echo "share/man/de/man1/sondrel.1.gz"
    echo "share/man/man1/sondrel-backup.1.gz"
    echo "share/man/de/man1/sondrel-backup.1.gz"
    echo "share/man/man1/sondrel-restore.1.gz"
    echo "share/man/de/man1/sondrel-restore.1.gz"
  } | sort
}

runpath_of() {
  readelf -d "$1" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p'
}

# Runs an installed program the way a file manager or the timer would: no display, no library path,
# its own XDG folders; its output goes to HOME/out.txt.
run_installed() {  # run_installed PROGRAM HOME ARG...
  local program=$1 home=$2
  shift 2
  mkdir -p "$home/config" "$home/state" "$home/runtime"
  chmod 700 "$home/runtime"
  env -u LD_LIBRARY_PATH -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
      HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" \
      XDG_RUNTIME_DIR="$home/runtime" "$program" "$@" </dev/null >"$home/out.txt" 2>&1
}
# The stored backup list, one path a line, in list order.
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

  run_installed "$program" "$home" "$files/Mein Ordner" "$files/Einzeln mit  zwei Blanks.txt" \
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
  run_installed "$program" "$home" "$files/Briefe" "$files/Mein Ordner/Rechnung 2026.pdf"
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

# The installed backup command writes the list that check_intake left and empties it.
check_backup() {  # check_backup PROGRAM LABEL
  local program=$1 label=$2
  local home="$work/home-$label"
  run_installed "$program" "$home"
  local rc=$?
  check "$label: sondrel-backup ends with 0 (got $rc): $(head -c 2000 "$home/out.txt")" \
    test "$rc" -eq 0
  check "$label: sondrel-backup wrote no archive into the folder ~/Sicherungen" \
    test -n "$(find "$home/Sicherungen" -maxdepth 1 -name '*_* Backup.zip')"
  check "$label: ~/Sicherungen has the mode $(stat -c %a "$home/Sicherungen"), not 700" \
    test "$(stat -c %a "$home/Sicherungen")" = 700
  check "$label: sondrel-backup said '$(cat "$home/out.txt")'" \
    grep -qx "4 Dateien, 0,0 MB in $home/Sicherungen/[0-9_]* Backup.zip, geprüft" "$home/out.txt"
  check "$label: after sondrel-backup the stored count is $(stored_count "$home"), not 0" \
    test "$(stored_count "$home")" = 0
}

# After check_backup with the same label: the installed restore finds that archive by itself and
# brings the four files back below a target folder.
check_restore() {  # check_restore PROGRAM LABEL
  local program=$1 label=$2
  local home="$work/home-$label"
  run_installed "$program" "$home" --target "$home/zurueck"
  local rc=$?
  check "$label: sondrel-restore ends with 0 (got $rc): $(head -c 2000 "$home/out.txt")" \
    test "$rc" -eq 0
  check "$label: sondrel-restore said '$(cat "$home/out.txt")'" \
    grep -qx "4 Dateien, 0,0 MB wiederhergestellt, 0 übersprungen" "$home/out.txt"
  check "$label: sondrel-restore brought back $(find "$home/zurueck" -type f | wc -l) files" \
    test "$(find "$home/zurueck" -type f | wc -l)" -eq 4
  run_installed "$program" "$home" --at gestern
  rc=$?
  check "$label: sondrel-restore --at gestern ends with $rc, not 64" test "$rc" -eq 64
  # The same installation without its engine: the restore starts and says what is missing.
  local bare="$work/bare-$label"
  mkdir -p "$bare/bin" "$bare/$private"
  cp "$program" "$bare/bin/"
  cp "$(dirname "$program")/../$private/libTv_ZIP.so"* "$bare/$private/"
  run_installed "$bare/bin/sondrel-restore" "$home" --target "$home/ohne"
  rc=$?
  check "$label: sondrel-restore without its engine ends with $rc, not 1" test "$rc" -eq 1
  check "$label: sondrel-restore without its engine said '$(head -c 2000 "$home/out.txt")'" \
    grep -q "die ZIP-Engine libzip32.so fehlt" "$home/out.txt"
}

# The user units: the service runs the installed program's search and backup, once; the timer
# starts it daily and makes up for missed days. systemd checks them where it is there.
check_units() {  # check_units UNIT_FOLDER PROGRAM
  local units=$1 program=$2
  entry_of() { sed -n "s/^$2=//p" "$units/$1"; }
  check "the service runs '$(entry_of sondrel-backup.service ExecStart)'" \
    test "$(entry_of sondrel-backup.service ExecStart)" = "$program --search"
  check "the service is no oneshot" test "$(entry_of sondrel-backup.service Type)" = oneshot
  check "the timer is not daily" test "$(entry_of sondrel-backup.timer OnCalendar)" = daily
  check "the timer is not persistent" test "$(entry_of sondrel-backup.timer Persistent)" = true
  if [ -x "$program" ] && command -v systemd-analyze >/dev/null; then
    mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
    local verdict rc
    verdict=$(cd "$units" && MANPATH="$prefix/share/man" XDG_RUNTIME_DIR="$work/runtime" \
              systemd-analyze --user verify sondrel-backup.service sondrel-backup.timer 2>&1)
    rc=$?
    check "systemd-analyze verify (status $rc): $verdict" test "$rc" -eq 0 -a -z "$verdict"
  fi
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

for program in sondrel sondrel-backup sondrel-restore; do
  check "bin/$program is not executable" test -x "$prefix/bin/$program"
done
# The backup command needs no display: it links no widgets and no graphics.
needed=$(readelf -d "$prefix/bin/sondrel-backup" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
check "bin/sondrel-backup links the user interface: $(grep -E 'Qt6(Widgets|Gui)' <<<"$needed")" \
  test -z "$(grep -E 'Qt6(Widgets|Gui)' <<<"$needed")"
needed=$(readelf -d "$prefix/bin/sondrel-restore" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
check "bin/sondrel-restore links the user interface: $(grep -E 'Qt6(Widgets|Gui)' <<<"$needed")" \
  test -z "$(grep -E 'Qt6(Widgets|Gui)' <<<"$needed")"
# The engine is loaded at run time by the component only: a program without it still starts.
for program in sondrel sondrel-backup sondrel-restore; do
  needed=$(readelf -d "$prefix/bin/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  check "bin/$program links the engine itself" test -z "$(grep libzip32 <<<"$needed")"
done
check "libzip32.so (the name the component opens) does not lead to a library" \
  test -f "$prefix/$private/libzip32.so"
check "libzip32.so is not a link to its versioned file" test -L "$prefix/$private/libzip32.so"
for symbol in ZpInit ZpSetOptions ZpArchive; do
  check "the installed engine does not export $symbol" \
    grep -qx "$symbol" <<<"$(nm -D --defined-only "$prefix/$private/libzip32.so" | awk '{print $3}')"
done

# Run paths: relative to the binaries, never into the build tree.
for program in sondrel sondrel-backup sondrel-restore; do
  check "bin/$program has run path '$(runpath_of "$prefix/bin/$program")'" \
    test "$(runpath_of "$prefix/bin/$program")" = "\$ORIGIN/../$private"
done
check "libTv_ZIP.so has run path '$(runpath_of "$prefix/$private/libTv_ZIP.so")'" \
  test "$(runpath_of "$prefix/$private/libTv_ZIP.so")" = "\$ORIGIN"
for elf in bin/sondrel bin/sondrel-backup bin/sondrel-restore "$private/libTv_ZIP.so" "$private/libzip32.so"; do
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
check "the desktop entry claims file types: $(grep '^MimeType=' "$desktop")" \
  test -z "$(grep '^MimeType=' "$desktop")"
# What a desktop without defaults of its own answers for a folder, a text and a PDF: never
# Sondrel. The data folder holds our entry alone, indexed as the package's trigger indexes it;
# a control entry that does claim text/plain shows that gio reads it at all.
default_app() {  # default_app DATA_FOLDER TYPE
  env PATH="$prefix/bin:$PATH" HOME="$work/gio-home" XDG_DATA_HOME="$work/gio-home/data" \
      XDG_DATA_DIRS="$1" XDG_CONFIG_HOME="$work/gio-home/config" \
      XDG_CONFIG_DIRS="$work/gio-home/xdg" gio mime "$2" 2>&1
}
for data in ours control; do
  mkdir -p "$work/gio-$data/applications"
  cp "$desktop" "$work/gio-$data/applications/sondrel.desktop"
done
echo "MimeType=text/plain;" >>"$work/gio-control/applications/sondrel.desktop"
for data in ours control; do
  update-desktop-database "$work/gio-$data/applications"
done
check "gio does not see a desktop entry that claims text/plain: $(default_app "$work/gio-control" text/plain)" \
  grep -q 'sondrel\.desktop' <<<"$(default_app "$work/gio-control" text/plain)"
for mime in inode/directory text/plain application/pdf; do
  answer=$(default_app "$work/gio-ours" "$mime")
  check "gio mime $mime answers: $answer" test -z "$(grep -F sondrel.desktop <<<"$answer")"
done
# The way from a file manager without a claimed type: its context menu.
for action in kio/servicemenus/sondrel.desktop file-manager/actions/sondrel.desktop \
  nemo/actions/sondrel.nemo_action; do
  check "$action does not offer 'Zur Datensicherung hinzufügen'" \
    grep -qx "Name=Zur Datensicherung hinzufügen" "$prefix/share/$action"
  check "$action does not run 'sondrel %F'" grep -qx "Exec=sondrel %F" "$prefix/share/$action"
done
for size in 48 256; do
  png="$prefix/share/icons/hicolor/${size}x${size}/apps/sondrel.png"
  check "the ${size}x${size} icon is $(file -b "$png")" \
    grep -q "PNG image data, $size x $size," <<<"$(file -b "$png")"
done
check "the scalable icon is no SVG" \
  grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/sondrel.svg"

# --- manual pages ---------------------------------------------------------------------------------
check_manpage() {  # check_manpage PAGE HEADING... -- PHRASE...
  local page=$1
  shift
  local text
  text=$(LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings -l "$page" 2>"$work/man.err")
  check "man -l $page warns: $(cat "$work/man.err")" test ! -s "$work/man.err"
  local phrases=0
  for item in "$@"; do
    if [ "$item" = "--" ]; then phrases=1; continue; fi
    if [ $phrases -eq 0 ]; then
      check "$page lacks the section $item" grep -qx "$item" <<<"$text"
    else
      check "$page does not mention $item" grep -qF -- "$item" <<<"$text"
    fi
  done
}
files_phrases=('$XDG_CONFIG_HOME/tarvello/registry.sqlite3' '~/.config/tarvello/registry.sqlite3'
  '$XDG_STATE_HOME/tarvello/archive-marks.sqlite3' '~/.local/state/tarvello/archive-marks.sqlite3'
  "Sondrel $version")
for folder in man1 de/man1; do
  check_manpage "$prefix/share/man/$folder/sondrel.1.gz" NAME ÜBERSICHT BESCHREIBUNG DATEIEN \
    EXIT-STATUS -- "${files_phrases[@]}" "sondrel-backup(1)"
  check_manpage "$prefix/share/man/$folder/sondrel-backup.1.gz" NAME ÜBERSICHT BESCHREIBUNG \
    OPTIONEN "AUTOMATISCH SICHERN" EXIT-STATUS DATEIEN -- "${files_phrases[@]}" \
    "systemctl --user enable --now sondrel-backup.timer" "journalctl --user -u sondrel-backup"
  check_manpage "$prefix/share/man/$folder/sondrel-restore.1.gz" NAME ÜBERSICHT BESCHREIBUNG \
    OPTIONEN BEISPIELE EXIT-STATUS -- "Sondrel $version" "sondrel-backup(1)" ".zustand"
done
# "man sondrel" as a German user would type it, with the prefix as the manual's path.
check "man -L de does not find the page in the prefix" \
  grep -q 'Aufnahmemodus' <<<"$(LC_ALL=C.UTF-8 MANWIDTH=100 man -M "$prefix/share/man" -L de sondrel 2>&1)"

# --- systemd user units and the package's documents ----------------------------------------------
check_units "$prefix/lib/systemd/user" "$prefix/bin/sondrel-backup"
check "changelog.gz is not the changelog of version $version" \
  grep -q "^sondrel ($version) " <<<"$(zcat "$prefix/share/doc/sondrel/changelog.gz")"

# --- the installed program in intake mode --------------------------------------------------------
check_intake "$prefix/bin/sondrel" installed
check_backup "$prefix/bin/sondrel-backup" installed
check_restore "$prefix/bin/sondrel-restore" installed

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
  for program in sondrel sondrel-backup sondrel-restore; do
    check "/usr/bin/$program in the package is not root-owned and executable" \
      grep -q "^-rwxr-xr-x root/root .* ./usr/bin/$program\$" <<<"$listing"
  done

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
  check_backup "$work/unpacked/usr/bin/sondrel-backup" packaged
  check_restore "$work/unpacked/usr/bin/sondrel-restore" packaged
  check_units "$work/unpacked/usr/lib/systemd/user" /usr/bin/sondrel-backup

  # Debian's own judgement, where lintian is installed (scripts/install-deps.sh installs it).
  if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1
    rc=$?
    check "lintian finds errors (status $rc): $(grep -v '^running with root' "$work/lintian.log")" \
      test "$rc" -eq 0 -a -z "$(grep '^E:' "$work/lintian.log")"
  fi
fi

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
