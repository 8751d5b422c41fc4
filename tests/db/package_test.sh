#!/usr/bin/env bash
# package_test.sh: installing quillog like any other command-line tool.
#
#   package_test.sh BUILDDIR SOURCEDIR CMAKE CPACK
#
# `cmake --install` must lay the program out as Debian lays out a tool with a
# settings file: the program in lib/quillog/, bin/quillog a link to it,
# lib/quillog/QUILLOG.INI a link to etc/quillog/QUILLOG.INI (the defaults, as
# comments), the compressed manual page, the copyright and changelog files,
# and nothing else. `cpack -G DEB` must make a package named quillog with a
# maintainer and a description, whose dependencies the packages of this
# machine satisfy, that lintian finds no error in and that declares
# /etc/quillog/QUILLOG.INI a conffile; installed with dpkg into a scratch root
# (holding this machine's package list), its quillog shows the usage text
# with exit status 2, dumps the bundled log, and takes a setting changed in
# the root's /etc/quillog/QUILLOG.INI. Exits 77 (skipped) where dpkg is
# missing (not a Debian system).
set -euo pipefail

build=$(realpath "$1")
source_dir=$(realpath "$2")
cmake=$3
cpack=$4

command -v dpkg >/dev/null && command -v dpkg-deb >/dev/null ||
    { echo "SKIP: dpkg is not installed (not a Debian system)"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quillog-pkg.XXXXXX")
failures=0
trap 'if [ "$failures" -eq 0 ]; then rm -rf "$work"; else echo "work folder kept: $work"; fi' EXIT

fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

expect() { # what, actual, expected
    if [ "$2" != "$3" ]; then
        fail "$1"
        echo "  expected: [$3]"
        echo "  actual:   [$2]"
    fi
}

version=$(sed -n 's/^project(quillog VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
export QUILLOG_NETWORK=$work/network COMPUTERNAME=HOST12 TZ=UTC

# Runs an installed quillog: /? first, then a dump of the bundled log.
checkprogram() { # what, path of the program
    local out rc=0
    out=$("$2" '/?') || rc=$?
    expect "$1: exit status of /?" "$rc" 2
    for line in "Brantwick Quillog V$version" \
                "Dump eventlog in format suitable for importing into database" \
                "  /logfile=type      eventlog to dump, type can be app, sec or sys" \
                "  /clear             clear event log after successful dump"; do
        grep -qxF -- "$line" <<<"$out" || fail "$1: usage line missing: $line"
    done
    rm -f "$work/dump.txt"
    rc=0
    out=$("$2" "/logfile=sys=$source_dir/samples/plaso-SysEvent.Evt" "/outfile=$work/dump.txt") || rc=$?
    expect "$1: exit status of a dump" "$rc" 0
    [ "$rc" -eq 0 ] || echo "$out"
    expect "$1: lines dumped" "$(grep -c $'\r$' "$work/dump.txt" 2>/dev/null || true)" 6063
}

# The settings echo of an installed program, run with a QUILLOG.INI changed
# (a line appended) and then restored. The program runs through runner, which
# may put it in a namespace of its own.
checksetting() { # what, settings file, runner...
    local what=$1 ini=$2 out
    shift 2
    cp "$ini" "$work/ini.saved"
    out=$("$@" '/logfile=sys=nosuch.evt' "/outfile=$work/none.txt" 2>&1) || true
    for line in "Format=yes" "DumpRecnum=no" "MaxMessageLen=64000" "FieldSeparator=,  "; do
        grep -qxF -- "$line" <<<"$out" || fail "$what: the shipped settings file does not give the default $line"
    done
    printf 'DumpRecnum=yes\nMaxMessageLen=765\n' >>"$ini"
    out=$("$@" '/logfile=sys=nosuch.evt' "/outfile=$work/none.txt" 2>&1) || true
    cp "$work/ini.saved" "$ini"
    grep -qxF "DumpRecnum=yes" <<<"$out" && grep -qxF "MaxMessageLen=765" <<<"$out" ||
        { fail "$what: a setting changed in $ini does not take effect"; echo "$out"; }
}

# cmake --install
echo "--- cmake --install"
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null
expect "files installed" "$(cd "$work/prefix" && find . -type f | sort | tr '\n' ' ')" \
    "./etc/quillog/QUILLOG.INI ./lib/quillog/quillog ./share/doc/quillog/changelog.gz ./share/doc/quillog/copyright ./share/man/man1/quillog.1.gz "
expect "links installed" "$(cd "$work/prefix" && find . -type l -printf '%p -> %l\n' | sort | tr '\n' ' ')" \
    "./bin/quillog -> ../lib/quillog/quillog ./lib/quillog/QUILLOG.INI -> ../../etc/quillog/QUILLOG.INI "
[ -x "$work/prefix/lib/quillog/quillog" ] || fail "lib/quillog/quillog is not executable"
checkprogram "cmake --install" "$work/prefix/bin/quillog"
checksetting "cmake --install" "$work/prefix/etc/quillog/QUILLOG.INI" "$work/prefix/bin/quillog"
awk 'length($0) >= 100 { print "line " NR " has 100 characters or more" }' \
    "$work/prefix/etc/quillog/QUILLOG.INI" | while read -r l; do fail "QUILLOG.INI: $l"; done

# The manual page: groff finds nothing to warn about, and it names every
# option, every settings key, every exit status and where the installed
# program reads its settings.
page=$work/manpage.1
gzip -dc "$work/prefix/share/man/man1/quillog.1.gz" >"$page"
expect "groff warnings" "$(groff -man -t -ww -z -Tutf8 "$page" 2>&1)" ""
text=$(groff -man -t -Tascii -P-cbou "$page" 2>/dev/null)
for word in /logfile= /outfile= /outdir= /all /computer= /reg=local_machine /clear /backup /u '/?' \
            Format= DateFormat= FieldSeparator= ReplaceFieldSeparator= ReplaceCRLF= ReplaceCR= ReplaceLF= \
            StringSeparator= MaxMessageLen= MaxFragmentLen= DumpData= DumpRecnum= QUILLOG.INI \
            QUILLOG_NETWORK COMPUTERNAME QUILLOG_PRIVILEGES HKEY_LOCAL_MACHINE.reg accounts.txt \
            /etc/quillog/QUILLOG.INI /usr/lib/quillog; do
    grep -qF -- "$word" <<<"$text" || fail "manual page does not mention $word"
done
grep -qE '^EXIT STATUS' <<<"$text" || fail "manual page has no EXIT STATUS section"

# cpack -G DEB
echo "--- cpack -G DEB"
(cd "$work" && "$cpack" -G DEB -B "$work/pkg" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack"; exit 1; }
deb=$(ls "$work"/pkg/quillog_*.deb)
expect "package file" "$(basename "$deb")" "quillog_${version}_$(dpkg --print-architecture).deb"
expect "Package" "$(dpkg-deb -f "$deb" Package)" quillog
expect "Version" "$(dpkg-deb -f "$deb" Version)" "$version"
dpkg-deb -f "$deb" Maintainer | grep -qE '^[^<]+ <[^@> ]+@[^> ]+>$' || fail "Maintainer is not 'name <address>'"
description=$(dpkg-deb -f "$deb" Description)
[ "$(head -1 <<<"$description")" = "dump Windows NT event logs as delimited text for databases" ] ||
    fail "Description synopsis: $(head -1 <<<"$description")"
[ "$(wc -l <<<"$description")" -ge 5 ] || fail "Description has no extended text"
grep -q 'libc6' <<<"$(dpkg-deb -f "$deb" Depends)" || fail "Depends does not name libc6"
expect "package contents" "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6, $7, $8 }' | sort | tr '\n' ' ')" \
    "./etc/quillog/QUILLOG.INI   ./usr/bin/quillog -> ../lib/quillog/quillog ./usr/lib/quillog/QUILLOG.INI -> /etc/quillog/QUILLOG.INI ./usr/lib/quillog/quillog   ./usr/share/doc/quillog/changelog.gz   ./usr/share/doc/quillog/copyright   ./usr/share/man/man1/quillog.1.gz   "
expect "conffiles" "$(dpkg-deb -I "$deb" conffiles)" "/etc/quillog/QUILLOG.INI"
if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail "lintian reports errors"; }
else
    fail "lintian is not installed (tests/packages.txt lists it)"
fi

# dpkg -i into a scratch root whose package list holds this machine's entries
# of the packages the package depends on, so that dpkg checks the
# dependencies against what is installed here; no maintainer script runs.
echo "--- dpkg --root -i"
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
for dep in $(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/(.*)//; s/ //g' | sort -u); do
    if dpkg-query -s "$dep" >>"$root/var/lib/dpkg/status" 2>/dev/null; then
        echo >>"$root/var/lib/dpkg/status"
        for name in $(dpkg-query -W -f '${Package} ${Package}:${Architecture}' "$dep"); do
            : >"$root/var/lib/dpkg/info/$name.list"
        done
    fi
done
force=()
[ "$(id -u)" -eq 0 ] || force=(--force-not-root --force-bad-path)
dpkg "${force[@]}" --root="$root" --log=/dev/null -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg -i"; exit 1; }
expect "installed" "$(dpkg --root="$root" -s quillog | sed -n 's/^Status: //p')" "install ok installed"
checkprogram "dpkg -i" "$root/usr/bin/quillog"
[ -f "$root/usr/share/man/man1/quillog.1.gz" ] || fail "no manual page in /usr/share/man/man1"
# The program reads /usr/lib/quillog/QUILLOG.INI, a link to the absolute
# /etc/quillog/QUILLOG.INI: the root's /etc is laid over the machine's in a
# mount namespace of the run's own, so that the link reaches the root's file.
inroot() {
    unshare --mount sh -c 'mount --make-rprivate / && mount -t overlay overlay -o "lowerdir=$1/etc:/etc" /etc &&
        shift && exec "$@"' inroot "$root" "$@"
}
if inroot true 2>/dev/null; then
    checksetting "dpkg -i" "$root/etc/quillog/QUILLOG.INI" inroot "$root/usr/bin/quillog"
else
    fail "no mount namespace to lay the root's /etc over the machine's (run as root)"
fi
dpkg "${force[@]}" --root="$root" --log=/dev/null -r quillog >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg -r"; }
[ ! -e "$root/usr/bin/quillog" ] || fail "dpkg -r left /usr/bin/quillog"

if [ "$failures" -ne 0 ]; then
    echo "$failures checks failed"
    exit 1
fi
echo "package: installed, run and removed"
