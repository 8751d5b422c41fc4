#!/usr/bin/env bash
# load_test.sh: the README's database loading recipes, run for real.
#
#   load_test.sh sqlite|postgres QUILLOG SOURCEDIR ALLBYTES ALLBYTES_DLL
#
# Dumps the bundled System log (6,063 records, numbered 1392 to 7454) in the
# default and the wide layout with the README's own commands, loads both files
# into SQLite or into a throwaway PostgreSQL cluster with the README's own
# table definitions and load commands, and checks that every record arrived
# as one row with all its columns in place, and that known records hold
# exactly the values the log holds (as another .evt reader decodes them,
# with the description built from the insertion strings, since the network
# has no message files).
#
# Then does the same with the log that ALLBYTES (tests/db/allbytes.cpp)
# writes, whose source, category, user, computer and description columns
# hold every byte value but 0 (which no text of a record can hold), some of
# them through the message texts of ALLBYTES_DLL; samerows.py compares every
# column of every row with its field of the file. Exits 77 (skipped) when the
# database's tools are not installed.
set -euo pipefail

db=$1
quillog=$(realpath "$2")
source_dir=$(realpath "$3")
allbytes=$(realpath "$4")
allbytes_dll=$(realpath "$5")
readme=$source_dir/README.md

skip() {
    echo "SKIP: $*"
    exit 77
}

case $db in
sqlite)
    command -v sqlite3 >/dev/null || skip "sqlite3 is not installed (Debian package sqlite3)"
    ;;
postgres)
    pgbin=
    for dir in $(dirname "$(command -v initdb 2>/dev/null || echo /nonexistent/initdb)") \
               $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
        if [ -x "$dir/initdb" ] && [ -x "$dir/pg_ctl" ]; then
            pgbin=$dir
            break
        fi
    done
    [ -n "$pgbin" ] || skip "initdb and pg_ctl are not installed (Debian package postgresql)"
    command -v psql >/dev/null || skip "psql is not installed (Debian package postgresql-client)"
    ;;
*)
    echo "usage: $0 sqlite|postgres QUILLOG SOURCEDIR ALLBYTES ALLBYTES_DLL" >&2
    exit 2
    ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/quillog-db.XXXXXX")
failures=0
cleanup() {
    if [ "$db" = postgres ] && [ -f "$work/pgdata/postmaster.pid" ]; then
        aspg "$pgbin/pg_ctl" stop -D "$work/pgdata" -m fast -s >/dev/null 2>&1 || true
    fi
    if [ "$failures" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "work folder kept: $work"
    fi
}
trap cleanup EXIT

fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# The fenced block that follows the line "<!-- tested: NAME -->" in the README.
block() {
    local text
    text=$(awk -v marker="<!-- tested: $1 -->" '
        $0 == marker { found = 1; next }
        found == 1 && /^```/ { found = 2; next }
        found == 2 && /^```/ { exit }
        found == 2 { print }' "$readme")
    if [ -z "$text" ]; then
        echo "README.md has no block marked 'tested: $1'" >&2
        exit 1
    fi
    printf '%s\n' "$text"
}

# Runs README block $1 in folder $3 (default the work folder), with each
# "plaso" of its text replaced by $4 when given. Its standard output goes to
# file $1.out of that folder, its standard error to file $2, which is shown.
runblock() {
    local script folder=${3:-$work}
    script=$(block "$1")
    [ -z "${4:-}" ] || script=${script//plaso/$4}
    echo "--- $1${4:+ ($4)}"
    (cd "$folder" && bash -euo pipefail -c "$script") >"$folder/$1.out" 2>"$folder/$2" ||
        fail "$1${4:+ ($4)}: exit status $?"
    cat "$folder/$2"
}

# Runs the database's load recipes: runblock's folder and replacement, if any.
loadall() {
    if [ "$db" = postgres ]; then
        runblock postgres-cp1252 load-cp1252.err "$@"
        expect "messages of the function" "$(cat "${1:-$work}/load-cp1252.err")" ""
    fi
    runblock "$db-default" load-default.err "$@"
    runblock "$db-wide" load-wide.err "$@"
    # sqlite3 reports lines with missing or extra fields on standard error only.
    expect "messages of the default load" "$(cat "${1:-$work}/load-default.err")" ""
    expect "messages of the wide load" "$(cat "${1:-$work}/load-wide.err")" ""
}

expect() { # what, actual, expected
    if [ "$2" != "$3" ]; then
        fail "$1"
        echo "  expected: [$3]"
        echo "  actual:   [$2]"
    fi
}

# The dumps, in a network of their own.
export QUILLOG_NETWORK=$work/network COMPUTERNAME=HOST12 TZ=UTC
export PATH=$(dirname "$quillog"):$PATH
mkdir -p "$work/samples"
cp "$source_dir/samples/plaso-SysEvent.Evt" "$work/samples/"
runblock dump-default dump-default.err
runblock dump-wide dump-wide.err
for f in plaso.txt plaso-wide.txt; do
    expect "$f: lines ending in CR LF" "$(grep -c $'\r$' "$work/$f")" 6063
    expect "$f: lines" "$(wc -l <"$work/$f" | tr -d ' ')" 6063
done

# The database, and q SQL printing a query's result.
case $db in
sqlite)
    q() { sqlite3 -batch -bail "$work/plaso.db" "$1"; }
    line=rowid
    ;;
postgres)
    # The server refuses to run as root: as root, the cluster belongs to an
    # unprivileged user. Clients connect through a socket in the work folder.
    if [ "$(id -u)" -eq 0 ]; then
        pguser=${QUILLOG_PGUSER:-nobody}
        aspg() { runuser -u "$pguser" -- "$@"; }
        chmod 755 "$work"
        install -d -o "$pguser" -m 700 "$work/pgdata" "$work/pgsocket"
    else
        aspg() { "$@"; }
        mkdir -m 700 "$work/pgdata" "$work/pgsocket"
    fi
    aspg "$pgbin/initdb" -D "$work/pgdata" -U postgres -A trust -E UTF8 --locale=C >"$work/initdb.log" 2>&1 ||
        { cat "$work/initdb.log"; fail "initdb"; exit 1; }
    aspg "$pgbin/pg_ctl" start -D "$work/pgdata" -w -s -l "$work/pgdata/server.log" \
        -o "-c listen_addresses= -c unix_socket_directories=$work/pgsocket -c fsync=off -c max_connections=10" ||
        { cat "$work/pgdata/server.log"; fail "pg_ctl start"; exit 1; }
    export PGHOST=$work/pgsocket PGUSER=postgres PGDATABASE=quillog
    psql -X -q -d postgres -c "CREATE DATABASE quillog"
    q() { psql -X -A -t -q -v ON_ERROR_STOP=1 -c "$1"; }
    line=line
    ;;
esac

loadall

prefix='Unable to format message. Insertion strings: '

# Every record is one row with every column in place: the first, the
# computer and the description's start stand where they belong on every row.
expect "rows" "$(q "SELECT count(*) FROM events")" 6063
expect "rows out of place" \
    "$(q "SELECT count(*) FROM events WHERE logtype <> 'SYS' OR computer <> 'WKS-WINXP32BIT'
          OR substr(description, 1, 45) <> '$prefix' OR description IS NULL")" 0
expect "wide rows" "$(q "SELECT count(*) FROM events_wide")" 6063
expect "wide rows out of place" \
    "$(q "SELECT count(*) FROM events_wide WHERE logtype <> 'SYS' OR computer <> 'WKS-WINXP32BIT'
          OR substr(description1, 1, 45) <> '$prefix' OR description3 IS NULL OR data IS NULL
          OR recnum IS NULL")" 0
expect "record numbers" "$(q "SELECT min(recnum) || ' ' || max(recnum) || ' ' || count(DISTINCT recnum) FROM events_wide")" \
    "1392 7454 6063"
expect "records with data" "$(q "SELECT count(*) FROM events_wide WHERE data <> ''")" 811
expect "descriptions longer than 255 that go on in the second field" \
    "$(q "SELECT count(*) FROM events_wide WHERE description2 <> '' AND length(description1) <> 255")" 0
if [ "$db" = sqlite ]; then
    expect "numbers stored as numbers" \
        "$(q "SELECT count(*) FROM events_wide WHERE typeof(recnum) <> 'integer' OR typeof(eventid) <> 'integer'")" 0
    expect "data that is not hex" "$(q "SELECT count(*) FROM events_wide WHERE data GLOB '*[^0-9A-F]*'")" 0
else
    expect "data that is not hex" "$(q "SELECT count(*) FROM events_wide WHERE data !~ '^([0-9A-F]{2})*\$'")" 0
fi

# Known records of the default layout, found by their place in the file
# (the log's records are numbered without gaps from 1392).
known() { # record number, column, expected value
    expect "record $1, $2" "$(q "SELECT $2 FROM events WHERE $line = $1 - 1391")" "$3"
}
if [ "$db" = sqlite ]; then known 1392 logged '7/27/2011 06:41:47'; else known 1392 logged '2011-07-27 06:41:47'; fi
known 1392 source LSASRV
known 1392 eventid 40961
known 1392 type Warning
known 1392 category 3
known 1392 username ''
known 1392 description "${prefix}cifs/CONTROLLER;\"The system detected a possible attempt to compromise security. Please ensure that you can contact the server that authenticated you.^^ (0xc0000388)\""
known 2338 source USER32
known 2338 eventid 1074
known 2338 type Information
known 2338 category None
known 2338 username 'NT AUTHORITY\SYSTEM'
known 2338 description "${prefix}winlogon.exe;WKS-WINXP32BIT;No title for this reason could be found;0xff;reboot;"
known 2373 source NtServicePack
known 2373 eventid 4377
known 2373 username S-1-5-21-2036804247-3058324640-2116585241-1114
known 2373 description "${prefix}Windows XP;KB943729"
known 2423 source DnsApi
known 2423 eventid 11197
known 2423 description "${prefix}{F3FF7196-09E9-42BC-8CB7-9D18CFD3AD71};wks-winxp32bit;shieldbase.local;"$'\t'"10.3.58.4;10.1.1.1;10.3.58.7;"
known 2767 source 'Windows Update Agent'
known 2767 eventid 18
known 2767 category 8
known 2767 description "${prefix}Friday  September 09  2011;3:00 AM;^- Microsoft Windows Installer 3.1"
if [ "$db" = sqlite ]; then known 7454 logged '4/7/2012 04:58:01'; else known 7454 logged '2012-04-07 04:58:01'; fi
known 7454 source 'Service Control Manager'
known 7454 eventid 7036
known 7454 description "${prefix}Google Update Service (gupdate);stopped"

# Known records of the wide layout, found by their record number.
wide() { # record number, column, expected value
    expect "wide record $1, $2" "$(q "SELECT $2 FROM events_wide WHERE recnum = $1")" "$3"
}
wide 1392 logged '2011-07-27 06:41:47'
wide 1392 data ''
wide 2338 logged '2011-08-22 17:02:59'
wide 2338 source USER32
wide 2338 eventid 1074
wide 2338 username 'NT AUTHORITY\SYSTEM'
wide 2338 description1 "${prefix}winlogon.exe;WKS-WINXP32BIT;No title for this reason could be found;0xff;reboot;"
wide 2338 "description2 || '|' || description3" '|'
wide 2338 data FF000000
wide 2373 username S-1-5-21-2036804247-3058324640-2116585241-1114
wide 2373 data ''
wide 2423 description1 "${prefix}{F3FF7196-09E9-42BC-8CB7-9D18CFD3AD71};wks-winxp32bit;shieldbase.local; 10.3.58.4;10.1.1.1;10.3.58.7;"
wide 2423 data 51270000
wide 2767 category 8
wide 2767 description1 "${prefix}Friday, September 09, 2011;3:00 AM;^- Microsoft Windows Installer 3.1"
data2767=57696E333248526573756C743D307830303030303030302055706461746549443D7B30303030303030302D303030302D303030302D303030302D3030303030303030303030307D205265766973696F6E4E756D6265723D302000
wide 2767 data $data2767
# 554 characters: three fields of 255, 255 and 44.
wide 2810 "length(description1) || ' ' || length(description2) || ' ' || length(description3)" '255 255 44'
wide 2810 "description1 || description2 || description3" "${prefix}Saturday, September 10, 2011;3:00 AM;^- Security Update for Windows XP (KB955069)^- Security Update for Windows XP (KB958644)^- Security Update for Windows XP (KB958470)^- Security Update for Windows XP (KB979309)^- Security Update for Windows XP (KB981332)^- Update for Windows XP (KB922582)^- Security Update for Windows XP (KB978601)^- Update for Windows XP (KB973687)^- Security Update for Windows XP Service Pack 2 (KB973540)^- Security Update for Windows XP (KB973869)^- Update for Windows XP (KB910437)"
wide 2810 data $data2767
wide 7454 logged '2012-04-07 04:58:01'
wide 7454 eventid 7036

# The log whose text columns hold every byte value, in a folder and a network
# of its own and, for PostgreSQL, a database of its own.
all=$work/allbytes
mkdir -p "$all/samples"
export QUILLOG_NETWORK=$all/network
"$allbytes" log "$allbytes_dll" "$all/samples/allbytes-SysEvent.Evt"
runblock dump-default dump-default.err "$all" allbytes
runblock dump-wide dump-wide.err "$all" allbytes
for f in allbytes.txt allbytes-wide.txt; do
    expect "$f: lines" "$(wc -l <"$all/$f" | tr -d ' ')" 12
done
if [ "$db" = postgres ]; then
    psql -X -q -d postgres -c "CREATE DATABASE allbytes"
    export PGDATABASE=allbytes
fi
loadall "$all" allbytes
samerows() { # file, separator, table
    local args=("$all/$1" "$2" "$3" "$db")
    [ "$db" = postgres ] || args+=("$all/allbytes.db")
    python3 "$source_dir/tests/db/samerows.py" "${args[@]}" || fail "$3: the rows are not the lines of $1"
}
samerows allbytes.txt , events
samerows allbytes-wide.txt $'\t' events_wide

if [ "$failures" -ne 0 ]; then
    echo "$failures checks failed"
    exit 1
fi
echo "$db: both layouts loaded, all checks passed"
