// expand_test.cpp: the category and description expansions and convert,
// over message DLLs registered for test sources in a temporary network:
// texts found, inserts and parameter references, failures reported once and
// not retried, the 99-string limit, and the 1,000-character slots.
//
// The caches are process-wide, so every test uses source names of its own.
#include "config/options.h"
#include "output/expand.h"
#include "support/support.h"

#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

std::string fixture(const std::string &name) { return qt::readfile(std::string(QUILLOG_MSGDLLS) + "/" + name); }

using qt::regstring;

// An event record as the event log hands it over: the fixed part, the source
// and computer names, the insertion strings, and the closing length.
std::vector<char> makerecord(const char *source, DWORD eventid, WORD category,
                             const std::vector<std::string> &strings) {
    std::vector<char> r(sizeof(EVENTLOGRECORD));
    auto add = [&](const std::string &s) { r.insert(r.end(), s.c_str(), s.c_str() + s.size() + 1); };
    add(source);
    add("HOST1");
    size_t stringoffset = r.size();
    for (const std::string &s : strings) add(s);
    r.resize(r.size() + 4);
    EVENTLOGRECORD rec = {};
    rec.Length = (DWORD)r.size();
    rec.EventID = eventid;
    rec.EventType = EVENTLOG_INFORMATION_TYPE;
    rec.EventCategory = category;
    rec.NumStrings = (WORD)strings.size();
    rec.StringOffset = (DWORD)stringoffset;
    memcpy(r.data(), &rec, sizeof rec);
    return r;
}

class Expand : public qt::TempNetwork {
protected:
    void SetUp() override {
        qt::TempNetwork::SetUp();
        saved_ = Options;
        Options.LogName = "Application";
        Options.Computer = nullptr;
        strcpy(Options.SystemRoot, "C:\\WINDOWS");
        std::string sys = computer() + "/c/WINDOWS/System32";
        qt::makedirs(sys);
        for (const char *name : {"events", "categories", "params", "probe_ansi"})
            qt::writefile(sys + "/x_" + std::string(name) + ".dll", fixture(std::string(name) + ".dll"));
        std::string reg = "REGEDIT4\r\n\r\n";
        for (const char *source : {"ExpCat", "ExpTwoCat", "ExpDesc", "ExpConv", "ExpLimits"}) {
            // For ExpTwoCat the file named last is offered first: it gives
            // the texts it has, the other file the rest.
            std::string categories = "%SystemRoot%\\System32\\x_categories.dll";
            if (std::string(source) == "ExpTwoCat")
                categories = "%SystemRoot%\\System32\\x_probe_ansi.dll;" + categories;
            reg += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
                   std::string(source) + "]\r\n" +
                   regstring("EventMessageFile", "%SystemRoot%\\System32\\x_events.dll") +
                   regstring("CategoryMessageFile", categories) +
                   regstring("ParameterMessageFile", "%SystemRoot%\\System32\\x_params.dll") + "\r\n";
        }
        qt::makedirs(computer() + "/registry");
        qt::writefile(computer() + "/registry/HKEY_LOCAL_MACHINE.reg", reg);
    }
    void TearDown() override {
        Options = saved_;
        qt::TempNetwork::TearDown();
    }

    static void capture() { qt::capturestdout(); }
    static std::string captured() { return qt::capturedstdout(); }

    // Runs the description expansion over a record whose description area
    // holds "fallback"; returns the area afterwards. The record stays until
    // the next call, as args may point into it.
    std::string describe(const char *source, DWORD eventid, const std::vector<std::string> &strings,
                         DWORD ordinal = 1) {
        record = makerecord(source, eventid, 0, strings);
        static char description[DescriptionSize];
        strcpy(description, "fallback");
        const bool replaced =
            expanddescription(source, (const EVENTLOGRECORD *)record.data(), ordinal, args, description);
        // The line writer builds the fallback only when told nothing was written.
        EXPECT_EQ(replaced, std::string(description) != "fallback");
        return description;
    }

    std::vector<char> record;
    char *args[ArgumentCount];

private:
    RunOptions saved_;
};

TEST_F(Expand, CategoryTextOrItsNumberAndOneReport) {
    char text[CategoryTextSize];
    struct Row {
        WORD category;
        std::string want, messages;
    } rows[] = {
        {1, "Disk Events ", ""},
        {2, "Logon/Logoff ", ""},
        {4, std::string(98, '\0'), ""}, // checked by length below
        {3, "3", "==>Format message error, source=ExpCat type=Category msg=3 rc=122\n"},
        {3, "3", ""}, // failed before: not tried again, not reported again
        {77, "77", "==>Format message error, source=ExpCat type=Category msg=77 rc=317\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.category);
        snprintf(text, sizeof text, "%hu", row.category);
        capture();
        expandcategory("ExpCat", row.category, text);
        EXPECT_EQ(captured(), row.messages);
        if (row.category == 4) {
            EXPECT_EQ(strlen(text), 99u);
            EXPECT_EQ(text[98], ' ');
        } else {
            EXPECT_EQ(text, row.want);
        }
    }
    struct Row2 {
        WORD category;
        const char *want;
    } tworows[] = {{1, "Disk Events "}, {3, "Ends without newline"}, {0x13, "cjk["}};
    capture();
    for (const Row2 &row : tworows) {
        SCOPED_TRACE(row.category);
        snprintf(text, sizeof text, "%hu", row.category);
        expandcategory("ExpTwoCat", row.category, text);
        EXPECT_STREQ(text, row.want);
    }
    strcpy(text, "88");
    expandcategory("ExpTwoCat", 88, text);
    EXPECT_STREQ(text, "88");
    EXPECT_EQ(captured(), "==>Format message error, source=ExpTwoCat type=Category msg=88 rc=317\n");

    capture();
    expandcategory("NoSuchSource", 1, text);
    expandcategory("NoSuchSource", 1, text);
    EXPECT_EQ(captured(), "==>RegOpenKeyEx rc=2 source=NoSuchSource key=SYSTEM\\CurrentControlSet\\Services\\EventLog"
                          "\\Application\\NoSuchSource\n"
                          "==>Format message error, source=NoSuchSource type=Category msg=1 rc=126\n");
}

TEST_F(Expand, DescriptionWithInsertsAndReferences) {
    capture();
    EXPECT_EQ(describe("ExpDesc", 0x40000064, {"Spooler", "HOST1", "none"}),
              "Service Spooler started on HOST1.\r\nDetails: none ");
    // A reference to an insert the record does not have gets a null entry.
    EXPECT_EQ(describe("ExpDesc", 0x80000007, {"a", "b", "c"}), "Five inserts: [a] [b] [c] [(null)] [(null)] ");
    EXPECT_EQ(args[3], nullptr);
    EXPECT_EQ(args[98], nullptr);
    // Parameter references in the strings are expanded first; the inserted
    // text is not scanned again.
    EXPECT_EQ(describe("ExpDesc", 0x40000064, {"%%1234", "%%1235", "100%"}),
              "Service Logon started on Refers to %%1234 itself .\r\nDetails: 100% ");
    EXPECT_EQ(describe("ExpDesc", 0xC0000005, {"C:\\x"}), "Access to C:\\x was denied (100% sure). ");
    EXPECT_EQ(captured(), "");

    // The full 32-bit id is asked for; a failing id is reported once and
    // never tried again for the source.
    capture();
    EXPECT_EQ(describe("ExpDesc", 0x40000005, {}), "fallback");
    EXPECT_EQ(describe("ExpDesc", 0x40000005, {}), "fallback");
    EXPECT_EQ(describe("ExpDesc", 5, {}), "Plain five without severity ");
    EXPECT_EQ(captured(), "==>Format message error, source=ExpDesc type=Message msg=5 rc=317\n");
}

TEST_F(Expand, NinetyNineStringsAreFormattedAndAHundredAreNot) {
    std::vector<std::string> strings;
    std::string want;
    for (int i = 1; i <= 99; ++i) {
        strings.push_back("s" + std::to_string(i));
        want += (i > 1 ? "|" : "") + strings.back();
    }
    capture();
    EXPECT_EQ(describe("ExpLimits", 0x40000063, strings), want + " ");
    strings.push_back("s100");
    EXPECT_EQ(describe("ExpLimits", 0x40000063, strings, 7), "fallback");
    EXPECT_EQ(captured(), "==>too many parameter strings, num=100, rec=7\n");

    // Strings that run past the end of the record are not handed on.
    std::vector<char> rec = makerecord("ExpLimits", 0x40000064, 0, {"a", "b"});
    ((EVENTLOGRECORD *)rec.data())->NumStrings = 3;
    memset(rec.data() + rec.size() - 4, 'x', 4);
    char description[DescriptionSize] = "fallback";
    capture();
    EXPECT_FALSE(expanddescription("ExpLimits", (const EVENTLOGRECORD *)rec.data(), 1, args, description));
    EXPECT_STREQ(description, "fallback");
    EXPECT_EQ(captured(), "");
}

TEST_F(Expand, ConvertReplacesReferencesInItsSlots) {
    capture();
    struct Row {
        const char *string, *want;
    } rows[] = {
        {"User %%1234 at 100%", "User Logon at 100%"},
        {"%%1234%%1234", "LogonLogon"},
        {"a%b%%c", "a%b%%c"},          // "%%" without digits is a reference to id 0
        {"x%%4294968530y", "xLogony"}, // the number wraps modulo 2^32 to 1234
        {"%%999 and %%999", "%%999 and %%999"},
        {"%%1235", "Refers to %%1234 itself "},
        {"ends in %", "ends in %"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.string);
        EXPECT_STREQ(convert("ExpConv", 4, row.string), row.want);
    }
    EXPECT_EQ(captured(), "==>Format message error, source=ExpConv type=Parameter msg=0 rc=317\n"
                          "==>Format message error, source=ExpConv type=Parameter msg=999 rc=317\n");

    // One slot per index, each kept until that index is converted again.
    char *zero = convert("ExpConv", 0, "%%1234 zero");
    char *last = convert("ExpConv", 98, "%%1234 last");
    EXPECT_NE(zero, last);
    EXPECT_STREQ(zero, "Logon zero");
    EXPECT_EQ(convert("ExpConv", 0, "again%"), zero);
    EXPECT_STREQ(last, "Logon last");

    // Slots hold 1,000 characters; what does not fit is dropped.
    std::string longtext = std::string(995, 'a') + "%%1234" + std::string(500, 'b');
    std::string cut = convert("ExpConv", 1, longtext.c_str());
    EXPECT_EQ(cut, std::string(995, 'a') + "Logon");
    std::string over = std::string(998, 'a') + "%%1234";
    EXPECT_EQ(std::string(convert("ExpConv", 1, over.c_str())), std::string(998, 'a') + "Lo");

    // In a description, a string with a "%" comes from its slot, one
    // without is used in place, whatever its length.
    std::string plain(5000, 'p');
    capture();
    describe("ExpConv", 0x40000064, {plain, "%x", "c"});
    captured();
    EXPECT_EQ(std::string(args[0]), plain);
    EXPECT_EQ(args[1], convert("ExpConv", 1, "%x"));
}

TEST_F(Expand, ConvertIndexOutsideTheSlotsIsAnInternalError) {
    EXPECT_EXIT(
        {
            dup2(2, 1);
            convert("ExpConv", 99, "%%1");
        },
        testing::ExitedWithCode(2), "==>internal error, convert, #1\n");
    EXPECT_EXIT(
        {
            dup2(2, 1);
            convert("ExpConv", -1, "%%1");
        },
        testing::ExitedWithCode(2), "==>internal error, convert, #1\n");
}

} // namespace
