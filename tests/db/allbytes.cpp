// allbytes.cpp: the log of the database loading test whose text columns hold
// every byte value, with the message table and the network it needs.
//
// Usage:
//   allbytes table <file.bin>
//       the message table of the source "AllBytes" (ANSI entries):
//       categories 1 to 4, whose texts together hold the bytes 1 to 255, and
//       event message 100, which holds them all and inserts its first string
//   allbytes log <message DLL> <file.evt>
//       the local computer of the network (QUILLOG_NETWORK, COMPUTERNAME):
//       the DLL as C:\WINDOWS\System32\allbytes.dll, named for "AllBytes" of
//       the System log in the registry, and accounts.txt; then a new log file
//       of the records below
//
// The byte 0 cannot occur: every text of a record is a C string. The records:
// - five records, the second and the fourth of sources "A", 1, "B" and
//   "C", 1, "D", the fifth of source 2 (bytes a loader may take as its quote
//   and null marker);
// - three records whose sources together hold the bytes 1 to 255;
// - four records of "AllBytes", one for each category text, with the event
//   message;
// computer names that together hold the bytes 1 to 255, and every record an
// insertion string of all of them. The four accounts of accounts.txt hold
// every byte the file can give a name: 32 to 255 except "#" (which starts a
// comment) and 127 (a control character, refused).
#include "platform/posix/eventlog.h"
#include "platform/posix/network.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

const DWORD CATEGORY_COUNT = 4;
const DWORD MESSAGE_ID = 100;
const int ACCOUNT_COUNT = 4;

// The bytes from first to last, in order.
std::string byterange(int first, int last) {
    std::string s;
    for (int c = first; c <= last; ++c) s += (char)c;
    return s;
}

// text cut into count pieces of nearly equal length.
std::vector<std::string> pieces(const std::string &text, size_t count) {
    std::vector<std::string> out;
    for (size_t i = 0, at = 0; i < count; ++i) {
        size_t n = (text.size() - at) / (count - i);
        out.push_back(text.substr(at, n));
        at += n;
    }
    return out;
}

// A message table of ANSI entries: one block per run of consecutive ids.
std::string messagetable(const std::vector<std::pair<DWORD, std::string>> &messages) {
    auto put16 = [](std::string &b, uint16_t v) { b.append({(char)(v & 0xFF), (char)(v >> 8)}); };
    auto put32 = [&](std::string &b, uint32_t v) {
        put16(b, (uint16_t)(v & 0xFFFF));
        put16(b, (uint16_t)(v >> 16));
    };
    std::vector<std::pair<DWORD, DWORD>> blocks; // low id, high id
    for (const auto &m : messages) {
        if (!blocks.empty() && blocks.back().second + 1 == m.first)
            blocks.back().second = m.first;
        else
            blocks.emplace_back(m.first, m.first);
    }
    std::string head, entries;
    put32(head, (uint32_t)blocks.size());
    size_t next = 0;
    const size_t start = 4 + 12 * blocks.size();
    for (const auto &block : blocks) {
        put32(head, block.first);
        put32(head, block.second);
        put32(head, (uint32_t)(start + entries.size()));
        for (; next < messages.size() && messages[next].first <= block.second; ++next) {
            std::string text = messages[next].second + '\0';
            while ((text.size() + 4) % 4) text += '\0';
            put16(entries, (uint16_t)(text.size() + 4));
            put16(entries, 0);
            entries += text;
        }
    }
    return head + entries;
}

// The message texts of "AllBytes". In the event message a "%" is written
// "%%", which the formatter gives as one "%".
std::vector<std::pair<DWORD, std::string>> messages() {
    std::vector<std::pair<DWORD, std::string>> out;
    std::vector<std::string> categories = pieces(byterange(1, 255), CATEGORY_COUNT);
    for (DWORD i = 0; i < CATEGORY_COUNT; ++i) out.emplace_back(i + 1, categories[i]);
    std::string event;
    for (char c : byterange(1, 255)) event += c == '%' ? std::string("%%") : std::string(1, c);
    out.emplace_back(MESSAGE_ID, event + " [%1]");
    return out;
}

// The account SID S-1-5-21-1111-2222-3333-<rid>, as text and in binary.
std::string sidtext(int rid) { return "S-1-5-21-1111-2222-3333-" + std::to_string(rid); }

std::vector<BYTE> sidbytes(int rid) {
    std::vector<BYTE> sid = {1, 5, 0, 0, 0, 0, 0, 5};
    for (uint32_t sub : {21u, 1111u, 2222u, 3333u, (uint32_t)rid})
        for (int k = 0; k < 4; ++k) sid.push_back((BYTE)(sub >> (8 * k)));
    return sid;
}

// The accounts.txt lines: domains and names of at most 31 characters (the
// longest the account lookup gives) that do not start or end in a blank
// (the file's blanks there are trimmed); the blank goes inside the first
// domain, the backslash inside the first name (the first backslash of a
// line ends the domain).
std::string accounts() {
    std::string pool;
    for (char c : byterange(33, 255))
        if (c != '#' && c != '\\' && c != 127) pool += c;
    std::vector<std::string> parts = pieces(pool, 2 * ACCOUNT_COUNT);
    parts[0].insert(parts[0].size() / 2, " ");
    parts[1].insert(parts[1].size() / 2, "\\");
    std::string text = "# accounts whose names hold every byte an account name can\n";
    for (int i = 0; i < ACCOUNT_COUNT; ++i)
        text += sidtext(1001 + i) + "=" + parts[2 * i] + "\\" + parts[2 * i + 1] + "\n";
    return text;
}

bool writefile(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
    f.close();
    if (!f) fprintf(stderr, "allbytes: cannot write %s\n", path.c_str());
    return (bool)f;
}

std::vector<nt::LogEvent> records() {
    const std::string all = byterange(1, 255);
    const std::vector<std::string> computers = pieces(all, 4);
    std::vector<nt::LogEvent> out;
    auto add = [&](const std::string &source, DWORD id, WORD category) {
        nt::LogEvent e;
        size_t n = out.size();
        e.source = source;
        e.computer = computers[n % computers.size()];
        e.timegenerated = e.timewritten = 1300000000 + (DWORD)n * 61;
        e.eventid = id;
        e.category = category;
        e.sid = sidbytes(1001 + (int)(n % ACCOUNT_COUNT));
        e.strings = {all, "second;string"};
        out.push_back(e);
    };
    for (const char *source : {"Alpha", "A\001B", "Gamma", "C\001D", "\002"}) add(source, 1, 0);
    for (const std::string &source : pieces(all, 3)) add(source, 2, 1);
    for (WORD category = 1; category <= CATEGORY_COUNT; ++category) add("AllBytes", MESSAGE_ID, category);
    for (int b = 0; b < 127; ++b) out.back().data.push_back((BYTE)b);
    return out;
}

int usage() {
    fprintf(stderr, "usage: allbytes table <file.bin>\n"
                    "       allbytes log <message DLL> <file.evt>\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "table" && argc == 3) return writefile(argv[2], messagetable(messages())) ? 0 : 1;
    if (mode != "log" || argc != 4) return usage();

    std::string computer;
    if (!nt::computerfolder(nullptr, &computer)) {
        fprintf(stderr, "allbytes: no local computer folder\n");
        return 1;
    }
    std::error_code ec;
    fs::create_directories(computer + "/c/WINDOWS/System32", ec);
    fs::copy_file(argv[2], computer + "/c/WINDOWS/System32/allbytes.dll", fs::copy_options::overwrite_existing, ec);
    if (ec) {
        fprintf(stderr, "allbytes: cannot copy %s: %s\n", argv[2], ec.message().c_str());
        return 1;
    }
    const std::string reg = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                            "\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\AllBytes]\r\n"
                            "\"EventMessageFile\"=\"C:\\\\WINDOWS\\\\System32\\\\allbytes.dll\"\r\n"
                            "\"CategoryMessageFile\"=\"C:\\\\WINDOWS\\\\System32\\\\allbytes.dll\"\r\n\r\n";
    if (!writefile(computer + "/registry/HKEY_LOCAL_MACHINE.reg", reg) ||
        !writefile(computer + "/accounts.txt", accounts()))
        return 1;

    nt::EventTarget target;
    target.log = "System";
    target.file = argv[3];
    fs::remove(target.file, ec);
    DWORD rc = nt::writeevents(target, records());
    if (rc != 0) {
        fprintf(stderr, "allbytes: cannot write %s, rc=%lu\n", argv[3], (unsigned long)rc);
        return 1;
    }
    return 0;
}
