#!/usr/bin/env python3
"""samerows.py: a loaded table holds exactly the lines of a dump file.

    samerows.py FILE SEPARATOR TABLE sqlite DATABASE
    samerows.py FILE SEPARATOR TABLE postgres

Checks that every line of FILE ends in CR LF, that TABLE has one row per
line in the file's order (SQLite: rowid; PostgreSQL: the identity column
"line", or else "recnum"), and that every column of every row holds its
field of the line. SQLite keeps the file's bytes, so its values must be those
bytes. PostgreSQL's texts must be the field decoded from code page 1252 as
Windows decodes it (the five bytes 1252 leaves undefined become U+0081,
U+008D, U+008F, U+0090 and U+009D); its timestamps and numbers must be those
of the field. The PostgreSQL table is read through psql (PGHOST, PGDATABASE
and the other libpq variables choose the server).

Then, since FILE is the dump of the log that the program allbytes writes,
checks that the file's text columns hold every byte that log gives them: each
byte from 32 to 255 and the tab, apart from the field separator; but the
category texts have no "^" (the message formatter makes their line breaks
blanks, and the line writer their own "^"), and the account names neither a
"^" (made a blank) nor a tab, "#" or 127, which accounts.txt cannot hold. Without this the comparison could pass on a file that never held
the bytes in question. And that they hold no other control byte than the tab:
the line writer makes them blanks, and the load recipes count on it.

Exits 1 with a line for each difference (at most 20), 0 when all is well.
"""
import csv
import datetime
import io
import os
import sqlite3
import subprocess
import sys

TEXT_COLUMNS = ("source", "category", "username", "computer", "description")
NUMBER_COLUMNS = ("eventid", "recnum")


def cp1252(data):
    """Decodes code page 1252 bytes, the undefined ones to U+0080-U+009F."""
    out = []
    for b in data:
        try:
            out.append(bytes([b]).decode("cp1252"))
        except UnicodeDecodeError:
            out.append(chr(b))
    return "".join(out)


def timestamp(text):
    for picture in ("%m/%d/%Y %H:%M:%S", "%Y-%m-%d %H:%M:%S"):
        try:
            return datetime.datetime.strptime(text, picture)
        except ValueError:
            pass
    return None


def sqliterows(path, table):
    db = sqlite3.connect(path)
    db.text_factory = bytes
    cursor = db.execute(f"SELECT * FROM {table} ORDER BY rowid")
    names = [d[0] for d in cursor.description]
    return names, cursor.fetchall()


def postgresrows(table):
    env = dict(os.environ, PGCLIENTENCODING="UTF8")
    columns = subprocess.run(
        ["psql", "-X", "-A", "-t", "-q", "-v", "ON_ERROR_STOP=1", "-c",
         f"SELECT column_name FROM information_schema.columns WHERE table_name = '{table}'"],
        env=env, check=True, capture_output=True, text=True).stdout.split()
    order = "line" if "line" in columns else "recnum"
    out = subprocess.run(
        ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-c",
         f"COPY (SELECT * FROM {table} ORDER BY {order}) TO STDOUT WITH (FORMAT csv, HEADER)"],
        env=env, check=True, capture_output=True).stdout
    rows = list(csv.reader(io.StringIO(out.decode("utf-8"), newline="")))
    return rows[0], rows[1:]


def main():
    if len(sys.argv) not in (5, 6) or sys.argv[4] not in ("sqlite", "postgres"):
        sys.exit(__doc__)
    path, separator, table, db = sys.argv[1:5]
    sep = separator.encode("latin-1")
    problems = []

    def problem(text):
        problems.append(f"{path}: {text}")

    data = open(path, "rb").read()
    lines = data.split(b"\r\n")
    if lines[-1] != b"":
        problem("the last line does not end in CR LF")
    lines = lines[:-1]
    for n, line in enumerate(lines, 1):
        if b"\r" in line or b"\n" in line:
            problem(f"line {n} holds a CR or LF")

    if db == "sqlite":
        names, rows = sqliterows(sys.argv[5], table)
    else:
        names, rows = postgresrows(table)
    keep = [i for i, name in enumerate(names) if name != "line"]
    names = [names[i] for i in keep]
    rows = [[row[i] for i in keep] for row in rows]
    if len(rows) != len(lines):
        problem(f"{table} has {len(rows)} rows for {len(lines)} lines")

    seen = {}
    for n, line in enumerate(lines, 1):
        fields = line.split(sep)
        if len(fields) != len(names):
            problem(f"line {n} has {len(fields)} fields for {len(names)} columns")
            continue
        for name, field in zip(names, fields):
            seen.setdefault(name.rstrip("0123456789"), set()).update(field)
        if n > len(rows):
            continue
        for name, field, value in zip(names, fields, rows[n - 1]):
            want = field
            if name in NUMBER_COLUMNS:
                want = int(field) if field.isdigit() else field
                value = int(value) if str(value).isdigit() else value
            elif db == "postgres" and name == "logged":
                want, value = timestamp(field.decode("latin-1")), timestamp(value)
            elif db == "postgres":
                want = cp1252(field)
            if value != want:
                problem(f"line {n}, {name}: {value!r} in {table}, {want!r} in the file")

    for kind in TEXT_COLUMNS:
        want = set(range(32, 256)) | {9}
        if kind == "category":
            want -= {ord("^")}
        if kind == "username":
            want -= {ord("^"), 9, ord("#"), 127}
        missing = sorted(want - {sep[0]} - seen.get(kind, set()))
        if missing:
            problem(f"no {kind} holds the bytes {' '.join(f'{b:02X}' for b in missing)}")
        control = sorted(b for b in seen.get(kind, set()) if b < 32 and b != 9)
        if control:
            problem(f"{kind} holds the control bytes {' '.join(f'{b:02X}' for b in control)}")

    for text in problems[:20]:
        print(text)
    if len(problems) > 20:
        print(f"... and {len(problems) - 20} more")
    sys.exit(1 if problems else 0)


main()
