// accounts_test.cpp: getuser, the AccountCache and the user column of a record.
#include "lookup/accounts.h"
#include "platform/posix/sids.h"
#include "support/support.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using qt::makesid;

// A distinct domain user SID for each number.
std::vector<BYTE> usersid(DWORD n) { return makesid(5, {21, 11, 22, 33, 1000 + n}); }

class GetUser : public qt::TempNetwork {
protected:
    // The clock runs near 10^9 ms, far from 0 and from the wrap, so that the
    // ages the tests give slots are all in the past.
    void SetUp() override {
        qt::TempNetwork::SetUp();
        qt::settickoffset(nullptr);
        qt::settickoffset(std::to_string(1000000000LL - (long long)GetTickCount()).c_str());
        resetaccounts();
    }

    void TearDown() override {
        qt::settickoffset(nullptr);
        qt::TempNetwork::TearDown();
    }

    std::string user(const std::vector<BYTE> &sid) { return getuser((PSID)sid.data()); }

    void writeaccounts(const std::string &text) { qt::writefile(computer() + "/accounts.txt", text); }

    // Fills every slot with usersid(0) ... usersid(99): slot 99 down to slot 0.
    void fill() {
        for (DWORD i = 0; i < AccountSlots; ++i) user(usersid(i));
    }
};

TEST_F(GetUser, FreshTableFillsFromTheTopAndHitsCostNoLookup) {
    unsigned long before = nt::accountlookups();
    std::vector<BYTE> system = makesid(5, {18}), everyone = makesid(1, {0});
    const char *first = getuser(system.data());
    EXPECT_STREQ(first, "NT AUTHORITY\\SYSTEM");
    EXPECT_EQ(first, AccountCache[99].Text);
    const char *second = getuser(everyone.data());
    EXPECT_STREQ(second, "\\Everyone");
    EXPECT_EQ(second, AccountCache[98].Text);
    EXPECT_EQ(nt::accountlookups(), before + 2);

    // The slot keeps its own copy: the caller's SID may change afterwards.
    std::vector<BYTE> again = system;
    system[8] = 19;
    EXPECT_EQ(getuser(again.data()), AccountCache[99].Text);
    EXPECT_EQ(getuser(everyone.data()), AccountCache[98].Text);
    EXPECT_EQ(nt::accountlookups(), before + 2);
    EXPECT_STREQ(user(system).c_str(), "NT AUTHORITY\\LOCAL SERVICE");
    EXPECT_EQ(nt::accountlookups(), before + 3);
    EXPECT_NE(AccountCache[99].LastUse, 0u);

    // The reset at the start of a run forgets every slot: the next SID is
    // looked up again and lands in slot 99 again.
    resetaccounts();
    for (const AccountSlot &slot : AccountCache) EXPECT_EQ(slot.LastUse, 0u);
    EXPECT_EQ(getuser(everyone.data()), AccountCache[99].Text);
    EXPECT_STREQ(AccountCache[99].Text, "\\Everyone");
    EXPECT_EQ(nt::accountlookups(), before + 4);
}

TEST_F(GetUser, FullTableReplacesTheSlotUsedLongestAgo) {
    fill();
    for (int i = 0; i < AccountSlots; ++i) ASSERT_NE(AccountCache[i].LastUse, 0u) << i;
    // Known ages: slot i was last used at tick 1000 + i, except slot 40,
    // which is the oldest.
    for (int i = 0; i < AccountSlots; ++i) AccountCache[i].LastUse = 1000 + i;
    AccountCache[40].LastUse = 7;
    unsigned long before = nt::accountlookups();

    EXPECT_EQ(getuser(usersid(100).data()), AccountCache[40].Text);
    EXPECT_EQ(nt::accountlookups(), before + 1);
    EXPECT_STREQ(AccountCache[40].Text, "S-1-5-21-11-22-33-1100");

    // usersid(59) sat in slot 40: it is looked up again, and takes the now
    // oldest slot, 1, since slot 0 was used more recently.
    AccountCache[0].LastUse = 5000;
    EXPECT_EQ(getuser(usersid(59).data()), AccountCache[1].Text);
    EXPECT_EQ(nt::accountlookups(), before + 2);

    // Slots that are still in the table cost nothing, and a hit refreshes the
    // slot's time so it is no longer the oldest.
    EXPECT_EQ(getuser(usersid(99).data()), AccountCache[0].Text);
    EXPECT_EQ(getuser(usersid(97).data()), AccountCache[2].Text);
    EXPECT_EQ(nt::accountlookups(), before + 2);
    EXPECT_GT(AccountCache[2].LastUse, 1002u);
    EXPECT_EQ(getuser(usersid(101).data()), AccountCache[3].Text);
    EXPECT_EQ(nt::accountlookups(), before + 3);
    // usersid(98), replaced in slot 1, costs a lookup again.
    EXPECT_EQ(getuser(usersid(98).data()), AccountCache[4].Text);
    EXPECT_STREQ(AccountCache[4].Text, "S-1-5-21-11-22-33-1098");
    EXPECT_EQ(nt::accountlookups(), before + 4);
}

TEST_F(GetUser, TiesGoToTheLowestSlotAndNewerThanNowKeepsSlotZero) {
    fill();
    for (int i = 0; i < AccountSlots; ++i) AccountCache[i].LastUse = 500;
    AccountCache[17].LastUse = 300;
    AccountCache[63].LastUse = 300;
    EXPECT_EQ(getuser(usersid(200).data()), AccountCache[17].Text);
    EXPECT_EQ(getuser(usersid(201).data()), AccountCache[63].Text);
    EXPECT_EQ(getuser(usersid(202).data()), AccountCache[0].Text);

    // No slot is older than the current tick: the candidate stays slot 0.
    for (int i = 0; i < AccountSlots; ++i) AccountCache[i].LastUse = 0xFFFFFFFFu;
    unsigned long before = nt::accountlookups();
    EXPECT_EQ(getuser(usersid(203).data()), AccountCache[0].Text);
    EXPECT_STREQ(AccountCache[0].Text, "S-1-5-21-11-22-33-1203");
    EXPECT_EQ(nt::accountlookups(), before + 1);

    // An emptied slot (LastUse 0) is not searched, whatever SID it holds,
    // and the highest empty slot is filled first.
    AccountCache[5].LastUse = 0;
    AccountCache[9].LastUse = 0;
    std::vector<BYTE> in9 = usersid(90);
    EXPECT_EQ(getuser(in9.data()), AccountCache[9].Text);
    EXPECT_EQ(nt::accountlookups(), before + 2);
    EXPECT_EQ(getuser(usersid(204).data()), AccountCache[5].Text);
}

// The slot a walk over the table gives, as the cache's rule states it: the
// lowest-numbered slot in use (LastUse not 0) whose SID EqualSid matches;
// on a miss, the highest empty slot, else the smallest LastUse (the lowest
// slot among equals, and slot 0 when none is older than now).
int walkslot(PSID sid, DWORD now, bool *hit) {
    for (int i = 0; i < AccountSlots; ++i) {
        if (AccountCache[i].LastUse != 0 && EqualSid(AccountCache[i].Sid, sid)) {
            *hit = true;
            return i;
        }
    }
    *hit = false;
    int candidate = 0;
    DWORD oldest = now;
    for (int i = 0; i < AccountSlots; ++i) {
        if (AccountCache[i].LastUse == 0) {
            candidate = i;
            oldest = 0;
        } else if (AccountCache[i].LastUse < oldest) {
            candidate = i;
            oldest = AccountCache[i].LastUse;
        }
    }
    return candidate;
}

TEST_F(GetUser, EveryLookupTakesTheSlotTheWalkGives) {
    // Mixes of SIDs (more than the table holds, invalid ones that never
    // match, and SIDs refilled after their slot was emptied), with slots
    // aged, emptied and the table reset in between: each call must return
    // the slot the walk names and look up exactly on a miss.
    struct Mix {
        const char *name;
        unsigned sids;       // distinct SIDs drawn from
        unsigned tamper;     // one call in this many first changes a slot's LastUse
        unsigned reset;      // one call in this many first resets the table (0: never)
        unsigned invalidpct; // percentage of SIDs of revision 2
    } mixes[] = {
        {"four SIDs", 4, 0, 0, 0},           {"a full table", 100, 0, 0, 0},     {"evictions", 150, 0, 0, 0},
        {"aged and emptied", 120, 5, 0, 10}, {"resets", 30, 7, 300, 0},          {"invalid", 8, 0, 0, 50},
        {"emptied often", 20, 2, 0, 0},      {"tiny with resets", 3, 3, 20, 20},
    };
    // Each mix has SIDs of its own: a SID that an earlier mix left in an
    // emptied slot is held twice once filled again, and from then on the
    // cache walks instead of using its index.
    DWORD first = 500;
    for (const Mix &mix : mixes) {
        SCOPED_TRACE(mix.name);
        resetaccounts();
        uint64_t state = 12345;
        auto next = [&state](unsigned n) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            return (unsigned)((state >> 33) % n);
        };
        std::vector<std::vector<BYTE>> sids;
        for (unsigned i = 0; i < mix.sids; ++i) {
            sids.push_back(usersid(first++));
            if (next(100) < mix.invalidpct) sids.back()[0] = 2;
        }
        for (int call = 0; call < 3000; ++call) {
            if (mix.reset && next(mix.reset) == 0) resetaccounts();
            if (mix.tamper && next(mix.tamper) == 0) {
                const unsigned kind = next(3);
                AccountCache[next(AccountSlots)].LastUse = kind == 0 ? 0 : kind == 1 ? 1 + next(1000) : 0xFFFFFFFFu;
            }
            const std::vector<BYTE> &sid = sids[next(mix.sids)];
            // The call reads the clock itself, in this millisecond or a
            // later one, which can change the slot a miss takes.
            bool hit;
            const DWORD now = GetTickCount();
            const int want = walkslot((PSID)sid.data(), now, &hit), later = walkslot((PSID)sid.data(), now + 1, &hit);
            const unsigned long before = nt::accountlookups();
            const char *text = getuser((PSID)sid.data());
            ASSERT_TRUE(text == AccountCache[want].Text || text == AccountCache[later].Text) << "call " << call;
            ASSERT_EQ(nt::accountlookups(), before + (hit ? 0 : 1)) << "call " << call;
        }
    }
}

TEST_F(GetUser, SidTextsShowTheAuthorityByteAndAtMostEightSubAuthorities) {
    const struct {
        std::vector<BYTE> sid;
        const char *text;
    } rows[] = {
        {makesid(16, {}), "S-1-16"},
        {makesid(9, {}), "S-1-9"},
        {makesid(5, {21, 4294967295u, 0, 7, 1000}), "S-1-5-21-4294967295-0-7-1000"},
        {makesid(5, {5, 0, 999}), "S-1-5-5-0-999"},
        {makesid(5, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), "S-1-5-1-2-3-4-5-6-7-8"},
        {makesid(5, {1, 2, 3, 4, 5, 6, 7, 8}), "S-1-5-1-2-3-4-5-6-7-8"},
        {makesid(5, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}), "S-1-5-1-2-3-4-5-6-7-8"},
        {makesid(0x1234, {7}), "S-1-52-7"},
        {makesid(0x010000000105ull, {18}), "S-1-5-18"},
        {makesid(256, {}), "S-1-0"},
        {makesid(255, {4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u,
                       4294967295u}),
         "S-1-255-4294967295-4294967295-4294967295-4294967295-4294967295-4"},
        // Known to the computer but too long for the 32-character buffer.
        {makesid(5, {32, 554}), "S-1-5-32-554"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        std::string text = user(row.sid);
        EXPECT_EQ(text, row.text);
        EXPECT_LE(text.size(), AccountTextMax);
    }
    EXPECT_EQ(strlen(rows[10].text), 64u);
}

TEST_F(GetUser, AccountsFileNamesAndNamesThatDoNotFit) {
    std::string name31(31, 'n'), domain31(31, 'd');
    writeaccounts("S-1-5-21-1-2-3-500=HOST12\\Administrator\n"
                  "S-1-5-21-1-2-3-1000=" +
                  domain31 + "\\" + name31 + "\n" + "S-1-5-21-1-2-3-1001=CORP\\" + std::string(32, 'x') + "\n" +
                  "S-1-5-21-1-2-3-1002=" + std::string(40, 'D') + "\\bob\n" + "S-1-5-21-1-2-3-1003=\\Nobody\n");
    EXPECT_EQ(user(makesid(5, {21, 1, 2, 3, 500})), "HOST12\\Administrator");
    // The longest text that fits: 31 + 1 + 31 characters, never cut.
    EXPECT_EQ(user(makesid(5, {21, 1, 2, 3, 1000})), domain31 + "\\" + name31);
    EXPECT_EQ(user(makesid(5, {21, 1, 2, 3, 1001})), "S-1-5-21-1-2-3-1001");
    EXPECT_EQ(user(makesid(5, {21, 1, 2, 3, 1002})), "S-1-5-21-1-2-3-1002");
    EXPECT_EQ(user(makesid(5, {21, 1, 2, 3, 1003})), "\\Nobody");
}

TEST_F(GetUser, FailedLookupIsNotRetriedWhileCached) {
    std::vector<BYTE> sid = makesid(5, {21, 7, 7, 7, 1234});
    unsigned long before = nt::accountlookups();
    EXPECT_EQ(user(sid), "S-1-5-21-7-7-7-1234");
    writeaccounts("S-1-5-21-7-7-7-1234=CORP\\late\n");
    EXPECT_EQ(user(sid), "S-1-5-21-7-7-7-1234");
    EXPECT_EQ(nt::accountlookups(), before + 1);
    resetaccounts();
    EXPECT_EQ(user(sid), "CORP\\late");
    EXPECT_EQ(nt::accountlookups(), before + 2);
}

// A record of exactly its own length on the heap, with a SID at an offset.
std::vector<BYTE> makerecord(const std::vector<BYTE> &sid, DWORD sidoffset, DWORD length) {
    std::vector<BYTE> buf(length, 0);
    EVENTLOGRECORD rec = {};
    rec.Length = length;
    rec.UserSidOffset = sidoffset;
    rec.UserSidLength = (DWORD)sid.size();
    memcpy(buf.data(), &rec, sizeof rec);
    if (!sid.empty() && sidoffset <= length && sid.size() <= length - sidoffset)
        memcpy(buf.data() + sidoffset, sid.data(), sid.size());
    return buf;
}

TEST_F(GetUser, RecordUserShowsEverySidThatLiesInsideTheRecord) {
    std::vector<BYTE> system = makesid(5, {18});
    std::vector<BYTE> rec = makerecord(system, 64, 64 + 12 + 4);
    EXPECT_STREQ(recorduser((const EVENTLOGRECORD *)rec.data()), "NT AUTHORITY\\SYSTEM");
    // Records keep SIDs at offsets that are not a multiple of four.
    rec = makerecord(system, 66, 66 + 12);
    EXPECT_STREQ(recorduser((const EVENTLOGRECORD *)rec.data()), "NT AUTHORITY\\SYSTEM");

    rec = makerecord({}, 0, 64);
    EXPECT_STREQ(recorduser((const EVENTLOGRECORD *)rec.data()), "");

    // A record of 140 bytes whose SID area starts at 64: S-1-5-18, or a SID of
    // 16 sub-authorities (72 bytes), with the revision, count, offset and
    // length each row gives. Only a SID whose bytes (8 + 4 per stored
    // sub-authority) do not lie inside the length and the record is left
    // out; any other is shown, with revision 1 and at most eight
    // sub-authorities when the lookup refuses it.
    std::vector<BYTE> sixteen = makesid(5, {21, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
    const struct {
        const char *what;
        bool big;
        DWORD offset, length;
        int revision, count;
        const char *text;
    } rows[] = {
        {"offset past the end", false, 200, 12, 1, 1, ""},
        {"offset plus length wraps", false, 0xFFFFFFF8u, 12, 1, 1, ""},
        {"huge length", false, 64, 0xFFFFFFFFu, 1, 1, ""},
        {"length shorter than the header", false, 64, 4, 1, 1, ""},
        {"length shorter than the stored count needs", false, 64, 8, 1, 1, ""},
        {"16 sub-authorities in 12 bytes", false, 64, 12, 1, 16, ""},
        {"SID one byte past the end of the record", false, 129, 12, 1, 1, ""},
        {"length larger than the SID needs", false, 64, 16, 1, 1, "NT AUTHORITY\\SYSTEM"},
        {"revision 2", false, 64, 12, 2, 1, "S-1-5-18"},
        {"revision 0", false, 64, 12, 0, 1, "S-1-5-18"},
        {"16 sub-authorities, all inside", true, 64, 72, 1, 16, "S-1-5-21-1-2-3-4-5-6-7"},
        {"16 sub-authorities, revision 3", true, 64, 76, 3, 16, "S-1-5-21-1-2-3-4-5-6-7"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<BYTE> r = makerecord(row.big ? sixteen : system, 64, 140);
        r[64] = (BYTE)row.revision;
        r[65] = (BYTE)row.count;
        EVENTLOGRECORD *p = (EVENTLOGRECORD *)r.data();
        p->UserSidOffset = row.offset;
        p->UserSidLength = row.length;
        unsigned long before = nt::accountlookups();
        EXPECT_STREQ(recorduser((const EVENTLOGRECORD *)r.data()), row.text);
        if (!*row.text) {
            EXPECT_EQ(nt::accountlookups(), before);
        }
    }
}

} // namespace
