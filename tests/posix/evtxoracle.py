#!/usr/bin/env python3
"""evtxoracle.py: compares the .evtx reader's legacy view of a log with two
independent readers, evtxexport (libevtx-utils) and evtx_dump.py
(python3-evtx).

    evtxoracle.py [--clean] EVTXDUMP FILE

EVTXDUMP is the built tests/posix/evtxdump. Against evtxexport: the number
of records, each record's number, event id (low 16 bits), source, computer
and written time. Against evtx_dump.py's XML: the same count and order, the
event id with its qualifiers, source (EventSourceName, else the provider's
Name), computer, time created, and the insertion strings value for value
(EventData/Data in order, the leaves of UserData).

The readers render some values differently from each other and from the
event's XML on Windows; those differences are accepted only in the forms
listed in RENDERINGS and counted in the summary (doc/evtx-mapping.md lists
them too). Records are compared in number order (the readers list them in
file order, which a wrapped log does not keep). With --clean (a file this
emulation wrote) evtxinfo must find no recovered records and no corruption
but the one it reports for a wrapped log's header (first chunk after the
last). Exit 0 when everything matches, 1 with the differences, 77 when an
oracle is not installed.
"""

import base64
import datetime
import re
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

NS = "{http://schemas.microsoft.com/win/2004/08/events/event}"
EPOCH = datetime.datetime(1970, 1, 1)


def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append({"n": "\n", "r": "\r", "t": "\t", "\\": "\\"}[text[i + 1]])
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def ours(dump, path):
    out = subprocess.run([dump, path], capture_output=True, text=True, check=False)
    if out.returncode != 0:
        sys.exit(f"evtxdump failed on {path}: {out.stderr.strip()}")
    records, rec = [], None
    for line in out.stdout.split("\n"):
        if not line:
            continue
        key, _, value = line.partition(" ")
        if key == "record":
            rec = {"number": int(value), "strings": []}
            records.append(rec)
        elif key == "string":
            rec["strings"].append(unescape(value))
        elif key in ("source", "computer", "sid", "data"):
            rec[key] = unescape(value)
        elif key == "eventid":
            rec[key] = int(value, 16)
        elif key not in ("count", "strings"):
            rec[key] = int(value)
    return records


def libevtx(path):
    out = subprocess.run(["evtxexport", path], capture_output=True, text=True, errors="replace", check=False)
    if out.returncode != 0:
        sys.exit(f"evtxexport failed on {path}: {out.stderr.strip()}")
    records, rec = [], None
    for line in out.stdout.split("\n"):
        key, sep, value = line.partition(":")
        key, value = key.strip(), value[1:] if value.startswith(" ") else value
        if not sep:
            continue
        if key == "Event number":
            rec = {"number": int(value)}
            records.append(rec)
        elif rec is None or "strings" in rec:
            continue
        elif key == "Number of strings":
            rec["strings"] = int(value)
        elif key == "Written time":
            t = datetime.datetime.strptime(value.split(".")[0], "%b %d, %Y %H:%M:%S")
            rec["written"] = int((t - EPOCH).total_seconds())
        elif key == "Computer name":
            rec["computer"] = value
        elif key == "Source name":
            rec["source"] = value
        elif key == "Event identifier":
            rec["eventid"] = int(value.split()[0], 16)
    return sorted(records, key=lambda r: r["number"])


def libevtxxml(path):
    """The insertion strings of evtxexport -f xml: Data elements (one per
    array item) and UserData leaves."""
    out = subprocess.run(["evtxexport", "-f", "xml", path], capture_output=True, text=True, errors="replace",
                         check=False)
    text = re.sub(r"[\x00-\x08\x0b\x0c\x0e-\x1f]", "", out.stdout.split("\n", 1)[1])
    records = []
    for event in ET.fromstring("<Events>" + text + "</Events>").iter(NS + "Event"):
        data, user = event.find(NS + "EventData"), event.find(NS + "UserData")
        if data is not None:
            strings = [item.text or "" for item in data.findall(NS + "Data")]
        else:
            strings = [text for child in (user if user is not None else []) for text in leaves(child)]
        records.append((int(event.find(NS + "System").find(NS + "EventRecordID").text), strings))
    return [strings for _, strings in sorted(records, key=lambda r: r[0])]


def leaves(element):
    kids = list(element)
    if not kids:
        return [element.text or ""]
    return [text for kid in kids for text in leaves(kid)]


def pyevtx(path):
    out = subprocess.run(["evtx_dump.py", path], capture_output=True, text=True, errors="replace", check=False)
    if out.returncode != 0:
        sys.exit(f"evtx_dump.py failed on {path}: {out.stderr.strip()}")
    text = re.sub(r"^<\?xml[^>]*\?>", "", out.stdout.strip())
    records = []
    for event in ET.fromstring(text).iter(NS + "Event"):
        system = event.find(NS + "System")
        provider = system.find(NS + "Provider")
        eventid = system.find(NS + "EventID")
        qualifiers = eventid.get("Qualifiers") or "0"
        created = system.find(NS + "TimeCreated").get("SystemTime")
        strings, arrays = [], False
        data = event.find(NS + "EventData")
        user = event.find(NS + "UserData")
        if data is not None:
            for item in data.findall(NS + "Data"):
                value = item.text or ""
                # Arrays come as one Data element holding <string> items.
                items = re.findall(r"<string>(.*?)</string>", value, re.S)
                strings.extend(items if items else [value])
                arrays = arrays or bool(items)
        elif user is not None:
            for child in user:
                strings.extend(leaves(child))
        records.append({
            "id": int(system.find(NS + "EventRecordID").text),
            "eventid": int(qualifiers) << 16 | int(eventid.text),
            "source": provider.get("EventSourceName") or provider.get("Name"),
            "computer": system.find(NS + "Computer").text or "",
            "created": created,
            "strings": strings,
            "arrays": arrays,
        })
    return sorted(records, key=lambda r: r["id"])


def seconds(created):
    t = datetime.datetime.strptime(created + ("" if "." in created else ".0"), "%Y-%m-%d %H:%M:%S.%f")
    return (t - EPOCH).total_seconds()


# The renderings in which the oracle may differ from the event's XML on
# Windows (ours): (name, test(ours, theirs)).
RENDERINGS = [
    ("hex integer zero-padded", lambda a, b: re.fullmatch(r"0x[0-9a-f]+", a) and re.fullmatch(r"0x[0-9a-f]+", b)
     and int(a, 16) == int(b, 16)),
    ("GUID in lower case", lambda a, b: re.fullmatch(r"\{[0-9A-F-]{36}\}", a) and a.lower() == b),
    ("FILETIME as date, space and microseconds", lambda a, b: re.fullmatch(r"\d{4}-\d\d-\d\dT[\d:]{8}\.\d{9}Z", a)
     and re.fullmatch(r"\d{4}-\d\d-\d\d [\d:]{8}(\.\d+)?", b)
     and abs(seconds(a[:10] + " " + a[11:26]) - seconds(b)) < 1e-5),
    ("binary in base64", lambda a, b: re.fullmatch(r"([0-9A-F]{2})+", a) and b
     and base64.b64decode(b + "=" * (-len(b) % 4)).hex().upper() == a),
    ("bool capitalised", lambda a, b: a in ("true", "false") and b == a.capitalize()),
    ("line ends read as LF by the XML parser", lambda a, b: "\r" in a and a.replace("\r\n", "\n").replace("\r", "\n") == b),
    ("control characters left out", lambda a, b: re.sub(r"[\x00-\x08\x0b\x0c\x0e-\x1f]", "", a) == b != a),
    ("Null item of an optional Data kept empty", None),
]


def matchstrings(mine, theirs, tally):
    """Matches theirs against mine in order; an empty element that the other
    reader keeps for a Null optional value may be skipped."""
    j = 0
    for value in theirs:
        if j < len(mine) and mine[j] == value:
            j += 1
            continue
        hit = None
        if j < len(mine):
            hit = next((name for name, test in RENDERINGS if test and test(mine[j], value)), None)
        if hit:
            tally[hit] = tally.get(hit, 0) + 1
            j += 1
        elif value == "":
            tally[RENDERINGS[-1][0]] = tally.get(RENDERINGS[-1][0], 0) + 1
        else:
            return f"'{value}' where ours has {mine[j:j + 1]}"
    return None if j == len(mine) else f"ours has more strings: {mine[j:]}"


def cleanfile(path):
    """What evtxinfo finds wrong with a file that should be clean."""
    out = subprocess.run(["evtxinfo", path], capture_output=True, text=True, check=False).stdout
    with open(path, "rb") as f:
        first, last = struct.unpack_from("<QQ", f.read(24), 8)
    faults = [] if re.search(r"recovered records\s*: 0\n", out) else ["evtxinfo found recovered records"]
    if "Is corrupted" in out and first <= last:
        faults.append("evtxinfo found it corrupted")
    return faults, "Is corrupted" in out


def main():
    clean = sys.argv[1] == "--clean"
    dump, path = sys.argv[1 + clean], sys.argv[2 + clean]
    for tool in ("evtxexport", "evtx_dump.py") + (("evtxinfo",) if clean else ()):
        if not shutil.which(tool):
            print(f"SKIP: {tool} is not installed (tests/packages.txt lists its package)")
            return 77
    mine, lib, py, libxml = ours(dump, path), libevtx(path), pyevtx(path), libevtxxml(path)
    faults, tally = [], {}

    def fault(what):
        if len(faults) < 20:
            print("DIFF", what)
        faults.append(what)

    if clean:
        found, wrapped = cleanfile(path)
        for what in found:
            fault(what)
        if wrapped and not found:
            tally["wrapped header (first chunk after the last) called corrupted by evtxinfo"] = 1
    for name, other in (("evtxexport", lib), ("evtx_dump.py", py)):
        if len(other) != len(mine):
            fault(f"{name}: {len(other)} records, ours {len(mine)}")
    for a, b in zip(mine, lib):
        n = a["number"]
        for key, theirs, want in (("number", b["number"], n), ("event id", b["eventid"], a["eventid"] & 0xFFFF),
                                  ("source", b["source"], a["source"]), ("computer", b["computer"], a["computer"]),
                                  ("written", b["written"], a["written"])):
            if theirs != want:
                fault(f"record {n}: evtxexport {key} {theirs!r}, ours {want!r}")
    for a, b, c in zip(mine, py, libxml):
        n = a["number"]
        if b["id"] != n:
            # An exported file renumbers its record headers and keeps the
            # events' own EventRecordID, which evtx_dump.py prints.
            tally["EventRecordID of an exported event"] = tally.get("EventRecordID of an exported event", 0) + 1
        for key, theirs, want in (("event id", b["eventid"], a["eventid"]), ("source", b["source"], a["source"]),
                                  ("computer", b["computer"], a["computer"])):
            if theirs != want:
                fault(f"record {n}: evtx_dump.py {key} {theirs!r}, ours {want!r}")
        if int(seconds(b["created"]) + 2e-6) != a["generated"]:
            fault(f"record {n}: evtx_dump.py created {b['created']}, ours {a['generated']}")
        why = matchstrings(a["strings"], b["strings"], tally)
        if why and b["arrays"]:
            # evtx_dump.py misreads String[] arrays with empty items (moves
            # or repeats items); there evtxexport's expanded Data elements
            # are the reference.
            why = matchstrings(a["strings"], c, tally)
            if not why:
                name = "String[] with empty items, compared with evtxexport -f xml"
                tally[name] = tally.get(name, 0) + 1
        if why:
            fault(f"record {n}: strings differ: {why}")
    strings = sum(len(a["strings"]) for a in mine)
    print(f"{path}: {len(mine)} records, {strings} strings; evtxexport {len(lib)}, evtx_dump.py {len(py)}")
    for name, count in sorted(tally.items()):
        print(f"  accepted rendering difference: {name}: {count}")
    if faults:
        print(f"{len(faults)} differences")
        return 1
    print("all match")
    return 0


if __name__ == "__main__":
    sys.exit(main())
