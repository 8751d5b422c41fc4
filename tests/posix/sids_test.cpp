// sids_test.cpp: the SID helpers, LookupAccountSidA and the accounts.txt parser.
#include "platform/posix/ntapi.h"
#include "platform/posix/sidnames.h"
#include "platform/posix/sids.h"
#include "support/support.h"

#include <cstring>
#include <initializer_list>
#include <unistd.h>
#include <vector>

namespace {

using qt::makesid;

TEST(SidHelpers, ReadTheLayoutOfSystemSid) {
    const BYTE system[] = {1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0};
    PSID sid = (PSID)system;
    EXPECT_TRUE(IsValidSid(sid));
    EXPECT_EQ(GetLengthSid(sid), 12u);
    EXPECT_EQ(GetSidIdentifierAuthority(sid)->Value[5], 5);
    EXPECT_EQ(GetSidIdentifierAuthority(sid)->Value[0], 0);
    EXPECT_EQ(*GetSidSubAuthorityCount(sid), 1);
    EXPECT_EQ(*GetSidSubAuthority(sid, 0), 18u);
    EXPECT_EQ(makesid(5, {18}), std::vector<BYTE>(system, system + sizeof system));

    std::vector<BYTE> big = makesid(0x010203040506ull, {1, 0xFFFFFFFF});
    EXPECT_EQ(GetSidIdentifierAuthority(big.data())->Value[0], 1);
    EXPECT_EQ(GetSidIdentifierAuthority(big.data())->Value[5], 6);
    EXPECT_EQ(*GetSidSubAuthority(big.data(), 1), 0xFFFFFFFFu);
    EXPECT_EQ(GetLengthSid(big.data()), 16u);
}

TEST(IsValidSid, RevisionOneAndAtMostFifteenSubAuthorities) {
    std::vector<BYTE> none = makesid(5, {});
    EXPECT_TRUE(IsValidSid(none.data()));
    EXPECT_EQ(GetLengthSid(none.data()), 8u);
    std::vector<BYTE> fifteen = makesid(5, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
    EXPECT_TRUE(IsValidSid(fifteen.data()));
    std::vector<BYTE> sixteen = makesid(5, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    EXPECT_FALSE(IsValidSid(sixteen.data()));
    std::vector<BYTE> revision2 = makesid(5, {18});
    revision2[0] = 2;
    EXPECT_FALSE(IsValidSid(revision2.data()));
    EXPECT_FALSE(IsValidSid(nullptr));
}

TEST(EqualSid, ComparesEveryPartAndRejectsInvalidSids) {
    std::vector<BYTE> a = makesid(5, {21, 100, 200, 500});
    std::vector<BYTE> same = makesid(5, {21, 100, 200, 500});
    EXPECT_TRUE(EqualSid(a.data(), same.data()));
    std::vector<BYTE> othersub = makesid(5, {21, 100, 200, 501});
    EXPECT_FALSE(EqualSid(a.data(), othersub.data()));
    std::vector<BYTE> otherauth = makesid(0x105, {21, 100, 200, 500});
    EXPECT_FALSE(EqualSid(a.data(), otherauth.data()));
    std::vector<BYTE> shorter = makesid(5, {21, 100, 200});
    EXPECT_FALSE(EqualSid(a.data(), shorter.data()));
    EXPECT_FALSE(EqualSid(shorter.data(), a.data()));
    std::vector<BYTE> bad = a;
    bad[0] = 3;
    std::vector<BYTE> bad2 = bad;
    EXPECT_FALSE(EqualSid(bad.data(), bad2.data()));
}

TEST(CopySid, ShortBufferGivesInsufficientBufferAndLeavesItAlone) {
    std::vector<BYTE> src = makesid(5, {21, 1, 2, 3, 1000});
    std::vector<BYTE> dst(src.size(), 0xAB);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CopySid((DWORD)src.size() - 1, dst.data(), src.data()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(dst, std::vector<BYTE>(src.size(), 0xAB));

    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CopySid((DWORD)src.size(), dst.data(), src.data()));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(dst, src);
    EXPECT_TRUE(EqualSid(dst.data(), src.data()));
}

class LookupAccountSid : public qt::TempNetwork {
protected:
    struct Result {
        BOOL ok;
        DWORD error, namelen, domainlen;
        std::string name, domain;
        SID_NAME_USE use;
    };

    // Looks sid up with the 32-character buffers the program uses.
    Result lookup(const std::vector<BYTE> &sid, const char *system = nullptr) {
        char name[32], domain[32];
        memset(name, '#', sizeof name);
        memset(domain, '#', sizeof domain);
        Result r;
        r.namelen = 32;
        r.domainlen = 32;
        r.use = SidTypeInvalid;
        SetLastError(0xdeadbeef);
        r.ok = LookupAccountSidA(system, (PSID)sid.data(), name, &r.namelen, domain, &r.domainlen, &r.use);
        r.error = GetLastError();
        if (r.ok) {
            r.name.assign(name, strnlen(name, sizeof name));
            r.domain.assign(domain, strnlen(domain, sizeof domain));
        }
        return r;
    }

    void writeaccounts(const std::string &text, const std::string &computer = "HOST12") {
        qt::writefile(this->computer(computer) + "/accounts.txt", text);
    }
};

TEST_F(LookupAccountSid, WellKnownSidsHaveWindowsSpellingsAndEmptyDomains) {
    const struct {
        std::vector<BYTE> sid;
        const char *domain, *name;
        SID_NAME_USE use;
    } rows[] = {
        {makesid(5, {18}), "NT AUTHORITY", "SYSTEM", SidTypeWellKnownGroup},
        {makesid(5, {19}), "NT AUTHORITY", "LOCAL SERVICE", SidTypeWellKnownGroup},
        {makesid(5, {20}), "NT AUTHORITY", "NETWORK SERVICE", SidTypeWellKnownGroup},
        {makesid(5, {7}), "NT AUTHORITY", "ANONYMOUS LOGON", SidTypeWellKnownGroup},
        {makesid(5, {11}), "NT AUTHORITY", "Authenticated Users", SidTypeWellKnownGroup},
        {makesid(5, {9}), "NT AUTHORITY", "ENTERPRISE DOMAIN CONTROLLERS", SidTypeWellKnownGroup},
        {makesid(1, {0}), "", "Everyone", SidTypeWellKnownGroup},
        {makesid(0, {0}), "", "NULL SID", SidTypeWellKnownGroup},
        {makesid(2, {0}), "", "LOCAL", SidTypeWellKnownGroup},
        {makesid(3, {0}), "", "CREATOR OWNER", SidTypeWellKnownGroup},
        {makesid(3, {3}), "", "CREATOR GROUP SERVER", SidTypeWellKnownGroup},
        {makesid(5, {32}), "BUILTIN", "BUILTIN", SidTypeDomain},
        {makesid(5, {32, 544}), "BUILTIN", "Administrators", SidTypeAlias},
        {makesid(5, {32, 552}), "BUILTIN", "Replicator", SidTypeAlias},
        {makesid(5, {32, 556}), "BUILTIN", "Network Configuration Operators", SidTypeAlias},
        {makesid(5, {32, 561}), "BUILTIN", "Terminal Server License Servers", SidTypeAlias},
        {makesid(5, {64, 10}), "NT AUTHORITY", "NTLM Authentication", SidTypeWellKnownGroup},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.domain) + "\\" + row.name);
        Result r = lookup(row.sid);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.error, 0xdeadbeefu);
        EXPECT_EQ(r.domain, row.domain);
        EXPECT_EQ(r.name, row.name);
        EXPECT_EQ(r.namelen, strlen(row.name));
        EXPECT_EQ(r.domainlen, strlen(row.domain));
        EXPECT_EQ(r.use, row.use);
    }
}

TEST_F(LookupAccountSid, NamesOf32OrMoreCharactersGiveInsufficientBufferWithSizes) {
    // "Pre-Windows 2000 Compatible Access" has 34 characters.
    Result r = lookup(makesid(5, {32, 554}));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(r.namelen, 35u);
    r = lookup(makesid(5, {32, 560}));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(r.namelen, 35u);

    std::string name31(31, 'n'), name32(32, 'n'), domain32(32, 'D');
    writeaccounts("S-1-5-21-1-2-3-1000=HOST12\\" + name31 + "\n" + "S-1-5-21-1-2-3-1001=HOST12\\" + name32 + "\n" +
                  "S-1-5-21-1-2-3-1002=" + domain32 + "\\bob\n" + "S-1-5-21-1-2-3-1003=" + domain32.substr(1) + "\\" +
                  name31 + "\n");
    r = lookup(makesid(5, {21, 1, 2, 3, 1000}));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.name, name31);
    EXPECT_EQ(r.namelen, 31u);
    // A name of exactly the buffer's size leaves no room for the terminator.
    r = lookup(makesid(5, {21, 1, 2, 3, 1001}));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(r.namelen, 33u);
    r = lookup(makesid(5, {21, 1, 2, 3, 1002}));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(r.domainlen, 33u);
    r = lookup(makesid(5, {21, 1, 2, 3, 1003}));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.domain, domain32.substr(1));
    EXPECT_EQ(r.domainlen, 31u);
    EXPECT_EQ(r.namelen, 31u);

    // A size query with no buffers gives the sizes needed.
    DWORD namelen = 0, domainlen = 0;
    SID_NAME_USE use;
    std::vector<BYTE> system = makesid(5, {18});
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(LookupAccountSidA(nullptr, system.data(), nullptr, &namelen, nullptr, &domainlen, &use));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(namelen, 7u);
    EXPECT_EQ(domainlen, 13u);
}

TEST_F(LookupAccountSid, UnknownSidsGiveNoneMapped) {
    const std::vector<BYTE> rows[] = {
        makesid(5, {21, 2547755849u, 459688323u, 2799212459u, 500}),
        makesid(5, {5, 0, 999}), // a logon session
        makesid(0x105, {18}),
    };
    for (const auto &sid : rows) {
        SCOPED_TRACE(sid.size());
        Result r = lookup(sid);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, (DWORD)ERROR_NONE_MAPPED);
    }
    std::vector<BYTE> bad = makesid(5, {18});
    bad[0] = 2;
    Result r = lookup(bad);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, (DWORD)ERROR_INVALID_SID);
}

TEST_F(LookupAccountSid, ReadsAccountsFileAndSkipsHostileLines) {
    std::string text = "# accounts of HOST12\r\n"
                       "S-1-5-21-1-2-3-500=HOST12\\Administrator\r\n"
                       "  S-1-5-21-1-2-3-1000 = CORP\\Alice Smith   # the test user\r\n"
                       "S-1-5-21-1-2-3-1001=\\Nobody\n"
                       "S-1-5-21-1-2-3-1000=CORP\\second entry loses\n"
                       "s-1-0x0000000000FF-7=WEIRD\\hexauthority\n"
                       "no equals sign here\n"
                       "S-1-5-21-1-2-3-2000=no backslash\n"
                       "S-1-5-21-1-2-3-2001=CORP\\\n"
                       "S-1-5-21-x-2-3-2002=CORP\\badsid\n"
                       "S-1-5-21-1-2-3-4294967296=CORP\\subtoolarge\n"
                       "S-1-281474976710656-1=CORP\\authoritytoolarge\n"
                       "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16=CORP\\sixteen\n"
                       "S-2-5-21-1-2-3-2003=CORP\\revision2\n"
                       "S-1-5-21-1-2-3-=CORP\\trailingdash\n"
                       "S-1-=CORP\\noauthority\n"
                       "=CORP\\nosid\n"
                       "S-1-5-21-1-2-3-2004=CORP\\tab\there\n";
    text += std::string("S-1-5-21-1-2-3-2005=CORP\\nul") + '\0' + "here\n";
    text += std::string("\xff\xfe") + '\0' + "\x01 binary junk =\\\\\\\n";
    text += "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15=CORP\\fifteen";
    writeaccounts(text);

    const struct {
        std::vector<BYTE> sid;
        const char *domain, *name;
    } found[] = {
        {makesid(5, {21, 1, 2, 3, 500}), "HOST12", "Administrator"},
        {makesid(5, {21, 1, 2, 3, 1000}), "CORP", "Alice Smith"},
        {makesid(5, {21, 1, 2, 3, 1001}), "", "Nobody"},
        {makesid(255, {7}), "WEIRD", "hexauthority"},
        {makesid(5, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}), "CORP", "fifteen"},
    };
    for (const auto &row : found) {
        SCOPED_TRACE(row.name);
        Result r = lookup(row.sid);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.domain, row.domain);
        EXPECT_EQ(r.name, row.name);
        EXPECT_EQ(r.use, SidTypeUser);
    }
    for (DWORD rid : {2000u, 2001u, 2002u, 2003u, 2004u, 2005u}) {
        SCOPED_TRACE(rid);
        Result r = lookup(makesid(5, {21, 1, 2, 3, rid}));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, (DWORD)ERROR_NONE_MAPPED);
    }

    // A changed file is read again; a removed one holds no accounts.
    writeaccounts("S-1-5-21-1-2-3-1000=CORP\\alice2\n");
    Result r = lookup(makesid(5, {21, 1, 2, 3, 1000}));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.name, "alice2");
    EXPECT_EQ(lookup(makesid(5, {21, 1, 2, 3, 500})).error, (DWORD)ERROR_NONE_MAPPED);
    remove((computer() + "/accounts.txt").c_str());
    EXPECT_EQ(lookup(makesid(5, {21, 1, 2, 3, 1000})).error, (DWORD)ERROR_NONE_MAPPED);
    // So does one over 16 MiB (sparse, so it costs no disk).
    writeaccounts("S-1-5-21-1-2-3-1000=CORP\\alice3\n");
    ASSERT_TRUE(lookup(makesid(5, {21, 1, 2, 3, 1000})).ok);
    ASSERT_EQ(truncate((computer() + "/accounts.txt").c_str(), (16 << 20) + 1), 0);
    EXPECT_EQ(lookup(makesid(5, {21, 1, 2, 3, 1000})).error, (DWORD)ERROR_NONE_MAPPED);
}

TEST_F(LookupAccountSid, ANamedComputerMustBeOnTheNetwork) {
    writeaccounts("S-1-5-21-9-9-9-1000=REMOTE7\\carol\n", "REMOTE7");
    writeaccounts("S-1-5-21-9-9-9-1000=HOST12\\local\n");
    Result r = lookup(makesid(5, {21, 9, 9, 9, 1000}), "\\\\remote7");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.name, "carol");
    r = lookup(makesid(5, {21, 9, 9, 9, 1000}), "\\\\HOST12");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.name, "local");
    r = lookup(makesid(5, {18}), "\\\\NOSUCHHOST");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, (DWORD)RPC_S_SERVER_UNAVAILABLE);
}

TEST_F(LookupAccountSid, CountsLookups) {
    unsigned long before = nt::accountlookups();
    lookup(makesid(5, {18}));
    lookup(makesid(5, {21, 1}));
    EXPECT_EQ(nt::accountlookups(), before + 2);
}

TEST(ParseSid, BoundsOfAuthorityAndSubAuthorities) {
    const struct {
        const char *text;
        bool ok;
        std::vector<BYTE> sid;
    } rows[] = {
        {"S-1-5-18", true, makesid(5, {18})},
        {"S-1-5", true, makesid(5, {})},
        {"S-1-281474976710655-4294967295", true, makesid(0xFFFFFFFFFFFFull, {0xFFFFFFFFu})},
        {"S-1-0xFFFFFFFFFFFF-0", true, makesid(0xFFFFFFFFFFFFull, {0})},
        {"S-1-281474976710656", false, {}},
        {"S-1-0x1000000000000", false, {}},
        {"S-1-5-4294967296", false, {}},
        {"S-1-5-+1", false, {}},
        {"S-1-5--1", false, {}},
        {"S-1-5-18-", false, {}},
        {"S-1--5", false, {}},
        {"S-1-0x", false, {}},
        {"S-0-5", false, {}},
        {"S-1", false, {}},
        {"", false, {}},
        {"S-1-5-99999999999999999999999999", false, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        nt::SidBytes sid = {0x55};
        EXPECT_EQ(nt::parsesid(row.text, &sid), row.ok);
        if (row.ok)
            EXPECT_EQ(sid, row.sid);
        else
            EXPECT_EQ(sid, nt::SidBytes{0x55});
    }
}

} // namespace
