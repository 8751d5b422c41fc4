// users_test.cpp: the user column of real logs, through the built quillog.
//
// Each record's SID is read here through the event log calls and turned into
// the text the column must show: the well-known names of the SIDs these logs
// carry, the names of the local accounts.txt, otherwise the SID text. Records
// without a SID must give an empty column.
#include "platform/win32.h"
#include "support/support.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// Accounts of the local computer for the dumps: one user of the XP machine's
// domain and the administrator of the 2003 server.
const char ACCOUNTS[] = "# test accounts\n"
                        "S-1-5-21-2036804247-3058324640-2116585241-1114=WKSDOM\\analyst\n"
                        "S-1-5-21-2547755849-459688323-2799212459-500=SRV2003\\Administrator\n";

// The text the user column must show for a SID.
std::string expecteduser(const std::vector<BYTE> &sid) {
    if (sid.empty()) return "";
    std::string text = "S-1-" + std::to_string(sid[7]);
    for (size_t i = 0; i < sid[1] && i < 8; ++i) {
        const BYTE *p = &sid[8 + 4 * i];
        text += "-" + std::to_string((unsigned long)p[0] | (unsigned long)p[1] << 8 | (unsigned long)p[2] << 16 |
                                     (unsigned long)p[3] << 24);
    }
    static const std::map<std::string, std::string> names = {
        {"S-1-5-7", "NT AUTHORITY\\ANONYMOUS LOGON"},
        {"S-1-5-18", "NT AUTHORITY\\SYSTEM"},
        {"S-1-5-19", "NT AUTHORITY\\LOCAL SERVICE"},
        {"S-1-5-20", "NT AUTHORITY\\NETWORK SERVICE"},
        {"S-1-5-21-2036804247-3058324640-2116585241-1114", "WKSDOM\\analyst"},
        {"S-1-5-21-2547755849-459688323-2799212459-500", "SRV2003\\Administrator"},
    };
    auto it = names.find(text);
    return it == names.end() ? text : it->second;
}

// Record number -> SID bytes (empty when the record has none) of every record
// of a backed-up log, read through the event log calls.
std::map<DWORD, std::vector<BYTE>> sidsof(const std::string &path) {
    std::map<DWORD, std::vector<BYTE>> sids;
    HANDLE log = OpenBackupEventLogA(nullptr, path.c_str());
    EXPECT_NE(log, nullptr) << GetLastError();
    if (!log) return sids;
    std::vector<BYTE> buffer(0x10000);
    for (;;) {
        DWORD read = 0, needed = 0;
        if (!ReadEventLogA(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buffer.data(),
                           (DWORD)buffer.size(), &read, &needed)) {
            if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
                buffer.resize(needed);
                continue;
            }
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_HANDLE_EOF);
            break;
        }
        for (DWORD at = 0; at + sizeof(EVENTLOGRECORD) <= read;) {
            const EVENTLOGRECORD *rec = (const EVENTLOGRECORD *)&buffer[at];
            std::vector<BYTE> sid;
            if (rec->UserSidLength) {
                const BYTE *p = (const BYTE *)rec + rec->UserSidOffset;
                sid.assign(p, p + rec->UserSidLength);
            }
            sids[rec->RecordNumber] = sid;
            if (rec->Length == 0) break;
            at += rec->Length;
        }
    }
    CloseEventLog(log);
    return sids;
}

class Users : public qt::TempNetwork {
protected:
    // Dumps a backed-up log with the record number as last column; returns
    // record number -> user column.
    std::map<DWORD, std::string> dump(const std::string &type, const std::string &log) {
        std::string exe = qt::copyquillog(dir() + "/bin");
        qt::writefile(dir() + "/bin/QUILLOG.INI", "DumpRecnum=yes\n");
        std::string out = dir() + "/" + type + ".txt";
        remove(out.c_str());
        qt::RunResult r = qt::runprogram(exe, {"/logfile=" + type + "=" + log, "/outfile=" + out});
        EXPECT_EQ(r.exitcode, 0) << r.out;
        std::map<DWORD, std::string> users;
        for (const std::string &line : qt::splitlines(qt::readfile(out))) {
            std::vector<std::string> fields(1);
            for (char c : line) {
                if (c == ',')
                    fields.emplace_back();
                else
                    fields.back() += c;
            }
            EXPECT_EQ(fields.size(), 10u) << line;
            if (fields.size() != 10) continue;
            DWORD number = (DWORD)std::stoul(fields[9]);
            EXPECT_EQ(users.count(number), 0u) << line;
            users[number] = fields[6];
        }
        return users;
    }

    // Checks each record's user column against its SID; returns how many
    // records carry a SID.
    size_t check(const std::map<DWORD, std::vector<BYTE>> &sids, const std::map<DWORD, std::string> &users) {
        EXPECT_EQ(users.size(), sids.size());
        size_t withsid = 0;
        for (const auto &rec : sids) {
            SCOPED_TRACE("record " + std::to_string(rec.first));
            auto it = users.find(rec.first);
            if (it == users.end()) {
                ADD_FAILURE() << "no line";
                continue;
            }
            EXPECT_EQ(it->second, expecteduser(rec.second));
            withsid += !rec.second.empty();
        }
        return withsid;
    }
};

TEST_F(Users, BundledSystemLogShowsAUserForEveryRecordWithASid) {
    qt::writefile(computer() + "/accounts.txt", ACCOUNTS);
    std::string log = qt::samplelog("plaso-SysEvent.Evt");
    std::map<DWORD, std::vector<BYTE>> sids = sidsof(log);
    ASSERT_EQ(sids.size(), 6063u);
    std::map<DWORD, std::string> users = dump("sys", log);
    EXPECT_EQ(check(sids, users), 1723u);
    size_t analyst = 0, system = 0, sidtext = 0;
    for (const auto &u : users) {
        analyst += u.second == "WKSDOM\\analyst";
        system += u.second == "NT AUTHORITY\\SYSTEM";
        sidtext += u.second.rfind("S-1-5-21-2036804247-3058324640-2116585241-", 0) == 0;
    }
    EXPECT_GT(analyst, 0u);
    EXPECT_GT(system, 0u);
    EXPECT_GT(sidtext, 0u);
}

TEST_F(Users, SecurityLogShowsWellKnownNamesAccountsAndSidTexts) {
    std::string log = qt::samplelog("evtparser-Security.evt");
    std::map<DWORD, std::vector<BYTE>> sids = sidsof(log);
    ASSERT_EQ(sids.size(), 49u);

    // Without accounts.txt the administrator of the other computer is a SID text.
    std::map<DWORD, std::string> users = dump("sec", log);
    std::map<std::string, size_t> counts;
    for (const auto &u : users) ++counts[u.second];
    EXPECT_EQ(counts["NT AUTHORITY\\LOCAL SERVICE"], 12u);
    EXPECT_EQ(counts["NT AUTHORITY\\NETWORK SERVICE"], 12u);
    EXPECT_EQ(counts["NT AUTHORITY\\SYSTEM"], 9u);
    EXPECT_EQ(counts["NT AUTHORITY\\ANONYMOUS LOGON"], 5u);
    EXPECT_EQ(counts["S-1-5-21-2547755849-459688323-2799212459-500"], 9u);
    EXPECT_EQ(counts[""], 2u);

    qt::writefile(computer() + "/accounts.txt", ACCOUNTS);
    users = dump("sec", log);
    EXPECT_EQ(check(sids, users), 47u);
}

TEST_F(Users, DamagedSidsGiveTheirTextOrAnEmptyColumn) {
    // A copy of the Security log in which two of the five ANONYMOUS LOGON
    // SIDs are damaged: one with revision 2 (shown as its text, with
    // revision 1), one whose count needs more bytes than the record gives
    // (left out).
    std::string text = qt::readfile(qt::samplelog("evtparser-Security.evt"));
    const std::string anonymous("\x01\x01\x00\x00\x00\x00\x00\x05\x07\x00\x00\x00", 12);
    size_t first = text.find(anonymous);
    ASSERT_NE(first, std::string::npos);
    size_t second = text.find(anonymous, first + 1);
    ASSERT_NE(second, std::string::npos);
    text[first] = 2;
    text[second + 1] = 2;
    std::string log = dir() + "/damaged.evt";
    qt::writefile(log, text);

    std::map<DWORD, std::string> users = dump("sec", log);
    EXPECT_EQ(users.size(), 49u);
    std::map<std::string, size_t> counts;
    for (const auto &u : users) ++counts[u.second];
    EXPECT_EQ(counts["NT AUTHORITY\\ANONYMOUS LOGON"], 3u);
    EXPECT_EQ(counts["S-1-5-7"], 1u);
    EXPECT_EQ(counts[""], 3u);
    EXPECT_EQ(counts["NT AUTHORITY\\SYSTEM"], 9u);
}

} // namespace
