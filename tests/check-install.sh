#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a user gets from it:
#   check-install.sh BUILD_DIR SOURCE_DIR VERSION
# 1. every file is in place, the program's settings link reaches the settings file (which a second
#    install keeps), and the desktop entry and the metainfo validate;
# 2. the launcher, with a temporary home, creates the database once, never replaces an existing one,
#    and starts the program in the chosen folder (offscreen; ended here);
# 3. a data folder it cannot create or write gives its message on stderr and on the desktop, and
#    exit code 1.
set -euo pipefail

BUILD="${1:?build folder}"
SOURCE="${2:?source folder}"
VERSION="${3:?project version}"
ID=io.github.tamrixdata.TamrixData

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

WORK="$(readlink -f "$(mktemp -d)")"
program_pid=""
cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
PREFIX="$WORK/prefix"
cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log" || {
    cat "$WORK/install.log"
    echo "FAIL: cmake --install" >&2
    exit 1
}

echo "== installed files"
expected=(bin/tamrixdata bin/tamrixdata-db libexec/tamrixdata/TamrixData libexec/tamrixdata/tamrixdata-message
          etc/tamrixdata/TamrixData.ini "share/applications/$ID.desktop" "share/metainfo/$ID.metainfo.xml"
          "share/icons/hicolor/scalable/apps/$ID.svg" share/man/man1/tamrixdata.1.gz
          share/doc/tamrixdata/copyright share/doc/tamrixdata/changelog.gz)
for size in 16 22 24 32 48 64 128 256; do
    expected+=("share/icons/hicolor/${size}x${size}/apps/$ID.png")
done
[ -f "$SOURCE/tools/tamrixdata-db.1" ] && expected+=(share/man/man1/tamrixdata-db.1.gz)
for file in "${expected[@]}"; do
    [ -f "$PREFIX/$file" ] || fail "$file is not installed"
done
for program in bin/tamrixdata bin/tamrixdata-db libexec/tamrixdata/TamrixData libexec/tamrixdata/tamrixdata-message; do
    [ -x "$PREFIX/$program" ] || fail "$program is not executable"
done
for page in "$PREFIX"/share/man/man1/*.gz; do
    gzip -t "$page" || fail "$page is no gzip file"
done
[ "$(readlink -f "$PREFIX/libexec/tamrixdata/TamrixData.ini")" = "$PREFIX/etc/tamrixdata/TamrixData.ini" ] ||
    fail "the program's TamrixData.ini does not lead to etc/tamrixdata/TamrixData.ini"
desktop-file-validate "$PREFIX/share/applications/$ID.desktop" || fail "the desktop entry does not validate"
appstreamcli validate --no-net "$PREFIX/share/metainfo/$ID.metainfo.xml" >"$WORK/appstream.log" 2>&1 || {
    cat "$WORK/appstream.log"
    fail "the metainfo does not validate"
}
grep -q "<release version=\"$VERSION\"" "$PREFIX/share/metainfo/$ID.metainfo.xml" ||
    fail "the metainfo does not list release $VERSION"
# An administrator's setting survives installing again.
printf '[TamrixData]\nRecordClear=Yes\n' >"$PREFIX/etc/tamrixdata/TamrixData.ini"
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
grep -q '^RecordClear=Yes' "$PREFIX/etc/tamrixdata/TamrixData.ini" || fail "a second install replaced TamrixData.ini"

echo "== the launcher starts the program on its database"
LAUNCHER="$PREFIX/bin/tamrixdata"
PROGRAM="$PREFIX/libexec/tamrixdata/TamrixData"
export HOME="$WORK/home"
mkdir -p "$HOME"
unset XDG_DATA_HOME TAMRIXDATA_DIR DISPLAY WAYLAND_DISPLAY
export QT_QPA_PLATFORM=offscreen

# launch FOLDER [env NAME=VALUE...] [-- ARGUMENTS]: starts the launcher, expects the program to be
# running in FOLDER with FOLDER/NoteData.db open within 20 s, and ends it.
launch() {
    local folder="$1"
    shift
    local settings=() arguments=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
        settings+=("$1")
        shift
    done
    [ $# -gt 0 ] && shift && arguments=("$@")
    env "${settings[@]}" "$LAUNCHER" "${arguments[@]}" >"$WORK/launch.log" 2>&1 &
    program_pid=$!
    local opened=""
    for _ in $(seq 1 200); do
        kill -0 "$program_pid" 2>/dev/null || break
        if [ "$(readlink "/proc/$program_pid/exe" 2>/dev/null)" = "$PROGRAM" ] &&
            [ "$(readlink "/proc/$program_pid/cwd")" = "$folder" ]; then
            for fd in "/proc/$program_pid/fd/"*; do
                [ "$(readlink "$fd" 2>/dev/null)" = "$folder/NoteData.db" ] && opened=yes
            done
            [ -n "$opened" ] && break
        fi
        sleep 0.1
    done
    if [ -z "$opened" ]; then
        fail "no program with $folder/NoteData.db open in $folder (launcher: ${settings[*]} ${arguments[*]})"
        cat "$WORK/launch.log" >&2
    fi
    kill "$program_pid" 2>/dev/null
    wait "$program_pid" 2>/dev/null || true
    program_pid=""
}

default_folder="$HOME/.local/share/tamrixdata"
launch "$default_folder"
tables="$(sqlite3 "$default_folder/NoteData.db" "SELECT group_concat(name) FROM (SELECT name FROM sqlite_master
                                                  WHERE name IN ('Title', 'Content') ORDER BY name)")"
[ "$tables" = "Content,Title" ] || fail "the first start made no empty database (tables: $tables)"

sqlite3 "$default_folder/NoteData.db" "INSERT INTO Title (TitleTxt) VALUES ('kept')"
inode="$(stat -c %i "$default_folder/NoteData.db")"
launch "$default_folder"
[ "$(stat -c %i "$default_folder/NoteData.db")" = "$inode" ] || fail "the second start replaced the database"
[ "$(sqlite3 "$default_folder/NoteData.db" "SELECT TitleTxt FROM Title")" = "kept" ] ||
    fail "the second start lost a record"

launch "$WORK/xdg/tamrixdata" XDG_DATA_HOME="$WORK/xdg"
launch "$WORK/from-environment" TAMRIXDATA_DIR="$WORK/from-environment"
launch "$WORK/from-argument" TAMRIXDATA_DIR="$WORK/from-environment" -- "$WORK/from-argument"
[ -f "$WORK/from-argument/NoteData.db" ] || fail "no database in the folder given as argument"

echo "== the launcher brings the earlier version's NoteData.mdb into a database still empty"
mdb_home="$WORK/mdb-home"
mkdir -p "$mdb_home"
cp "$SOURCE/tests/data/NoteData-sample.mdb" "$WORK/NoteData.mdb"
launch "$mdb_home/.local/share/tamrixdata" HOME="$mdb_home" -- "$WORK/NoteData.mdb"
records="$(sqlite3 "$mdb_home/.local/share/tamrixdata/NoteData.db" "SELECT count(*) FROM Title")"
[ "$records" = 51 ] || fail "the launcher given an .mdb imported $records records, not 51"
grep -q "added 51 records" "$WORK/launch.log" || fail "the launcher printed no summary of the import"
code=0
env HOME="$mdb_home" "$LAUNCHER" "$WORK/NoteData.mdb" >/dev/null 2>"$WORK/stderr" || code=$?
[ "$code" = 1 ] || fail "an .mdb given for a database with records: exit code $code, not 1"
grep -q "run: tamrixdata-db import" "$WORK/stderr" ||
    fail "an .mdb given for a database with records: no command to run: $(cat "$WORK/stderr")"
records="$(sqlite3 "$mdb_home/.local/share/tamrixdata/NoteData.db" "SELECT count(*) FROM Title")"
[ "$records" = 51 ] || fail "the refused second import changed the database ($records records)"

echo "== a folder the launcher cannot use"
# Root may write anywhere permission bits forbid, so these folders are impossible for anyone: one
# below a regular file, and /proc, where no file can be created.
mkdir -p "$WORK/fake-bin"
cat >"$WORK/fake-bin/notify-send" <<FAKE
#!/bin/sh
printf '%s\n' "\$@" >"$WORK/notification"
FAKE
chmod +x "$WORK/fake-bin/notify-send"
touch "$WORK/regular-file"
check_refused() {
    local folder="$1" english="$2" chinese="$3"
    rm -f "$WORK/notification"
    local code=0
    env PATH="$WORK/fake-bin:$PATH" DISPLAY=:999 "$LAUNCHER" "$folder" 2>"$WORK/stderr" || code=$?
    [ "$code" = 1 ] || fail "$folder: exit code $code, not 1"
    grep -q "$english" "$WORK/stderr" || fail "$folder: no \"$english\" on stderr: $(cat "$WORK/stderr")"
    grep -q "$chinese" "$WORK/notification" 2>/dev/null || fail "$folder: no \"$chinese\" notification"
}
check_refused "$WORK/regular-file/records" "cannot create the data folder" "无法创建数据文件夹"
check_refused /proc "cannot create an empty database in /proc" "无法在 /proc 中创建空数据库"
# The tool's one line names the cause, never a statement or the schema.
grep -qs "CREATE\|SELECT\|INSERT" "$WORK/stderr" "$WORK/notification" && fail "a statement in the launcher's message"

echo "== the launcher's message names the cause"
# A size limit stands in for a full disk: the new database cannot grow past its first page.
mkdir -p "$WORK/limited"
code=0
(trap '' XFSZ && ulimit -f 8 && env PATH="$WORK/fake-bin:$PATH" DISPLAY=:999 "$LAUNCHER" "$WORK/limited") \
    2>"$WORK/stderr" || code=$?
[ "$code" = 1 ] || fail "size limit: exit code $code, not 1"
grep -q "largest file size allowed" "$WORK/stderr" || fail "size limit: cause not named: $(cat "$WORK/stderr")"
grep -qs "CREATE\|SELECT\|INSERT" "$WORK/stderr" "$WORK/notification" && fail "size limit: a statement in the message"
[ "$(wc -l <"$WORK/stderr")" = 1 ] || fail "size limit: more than one line: $(cat "$WORK/stderr")"
# Root writes anywhere permission bits forbid; an immutable folder refuses even root.
mkdir -p "$WORK/sealed"
if chattr +i "$WORK/sealed" 2>/dev/null; then
    code=0
    env PATH="$WORK/fake-bin:$PATH" DISPLAY=:999 "$LAUNCHER" "$WORK/sealed" 2>"$WORK/stderr" || code=$?
    chattr -i "$WORK/sealed"
    [ "$code" = 1 ] || fail "sealed folder: exit code $code, not 1"
    grep -q "the folder $WORK/sealed is not writable" "$WORK/stderr" ||
        fail "sealed folder: cause not named: $(cat "$WORK/stderr")"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "PASS: installed tree, launcher and its failures"
