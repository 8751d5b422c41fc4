// regfile_test.cpp: the registry's key tree and its regedit text files.
#include "platform/posix/regfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>

namespace {

using nt::RegKey;
using nt::RegValue;

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += (char)b;
    return s;
}

// A REGEDIT4 file with one key holding the given value lines.
std::string regedit4(const std::string &valuelines) {
    return "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n" + valuelines + "\r\n";
}

const RegKey *testkey(const RegKey &top) {
    const RegKey *key = top.subkey("HKEY_LOCAL_MACHINE");
    key = key ? key->subkey("SOFTWARE") : nullptr;
    return key ? key->subkey("Test") : nullptr;
}

// UTF-16LE with byte-order mark, as "reg export" writes.
std::string utf16file(const std::u16string &text) {
    std::string out = "\xFF\xFE";
    for (char16_t c : text) {
        out += (char)(c & 0xFF);
        out += (char)(c >> 8);
    }
    return out;
}

TEST(ParseRegFile, ValueLineForms) {
    struct Row {
        const char *line;
        const char *name;
        DWORD type;
        std::string data;
    } rows[] = {
        {"\"Version\"=\"V1.7.1\"", "Version", REG_SZ, std::string("V1.7.1", 7)},
        {"@=\"default\"", "", REG_SZ, std::string("default", 8)},
        {"\"\"=\"also default\"", "", REG_SZ, std::string("also default", 13)},
        {"\"q\\\"uote\"=\"C:\\\\WINNT \\\"x\\\"\"", "q\"uote", REG_SZ, std::string("C:\\WINNT \"x\"", 13)},
        {"\"odd\"=\"C:\\path\"", "odd", REG_SZ, std::string("C:\\path", 8)},
        {"\"empty\"=\"\"", "empty", REG_SZ, std::string(1, '\0')},
        {"\"spaced\" = \"v\"", "spaced", REG_SZ, std::string("v", 2)},
        {"\"d\"=dword:0000002a", "d", REG_DWORD, bytes({0x2a, 0, 0, 0})},
        {"\"D\"=DWORD:FFFFFFFE", "D", REG_DWORD, bytes({0xfe, 0xff, 0xff, 0xff})},
        {"\"short\"=dword:7", "short", REG_DWORD, bytes({7, 0, 0, 0})},
        {"\"b\"=hex:01,02,ff", "b", REG_BINARY, bytes({1, 2, 0xff})},
        {"\"b0\"=hex:", "b0", REG_BINARY, ""},
        {"\"e\"=hex(2):43,3a,5c,00", "e", REG_EXPAND_SZ, std::string("C:\\", 4)},
        {"\"m\"=hex(7):61,00,62,00,00", "m", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
        {"\"none\"=hex(0):", "none", REG_NONE, ""},
        {"\"q\"=hex(b):01,00,00,00,00,00,00,80", "q", REG_QWORD, bytes({1, 0, 0, 0, 0, 0, 0, 0x80})},
        {"\"odd type\"=hex(10000000):9", "odd type", 0x10000000, bytes({9})},
        {"\"cont\"=hex:01,02,\\\r\n  03,\\\r\n\t04", "cont", REG_BINARY, bytes({1, 2, 3, 4})},
        {"\"hi\"=\"caf\xE9 \x80\"", "hi", REG_SZ, std::string("caf\xE9 \x80", 7)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.line);
        RegKey top;
        nt::RegFileError err;
        ASSERT_EQ(nt::parseregfile(regedit4(row.line), &top, &err), (DWORD)ERROR_SUCCESS) << err.what;
        const RegKey *key = testkey(top);
        ASSERT_NE(key, nullptr);
        ASSERT_EQ(key->values().size(), 1u);
        const RegValue &v = key->values()[0];
        EXPECT_EQ(v.name, row.name);
        EXPECT_EQ(v.type, row.type);
        EXPECT_EQ(v.data, row.data);
    }
}

TEST(ParseRegFile, Version5Utf16WithBom) {
    // Strings and the hex data of string types are UTF-16 in such a file;
    // the model holds their data as code page 1252 bytes, names as UTF-8.
    std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n"
                          u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
                          u"\"Caf\u00e9\"=\"\u20ac 5 \u2603\"\r\n"
                          u"\"EventMessageFile\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,\\\r\n"
                          u"  6f,00,6f,00,74,00,25,00,5c,00,e9,00,00,00\r\n"
                          u"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
                          u"\"Raw\"=hex:61,00\r\n"
                          u"\"Emoji\"=hex(1):3d,d8,00,de,00,00\r\n"
                          u"\"Count\"=dword:00000010\r\n";
    RegKey top;
    nt::RegFileError err;
    ASSERT_EQ(nt::parseregfile(utf16file(text), &top, &err), (DWORD)ERROR_SUCCESS) << err.line << " " << err.what;
    const RegKey *key = testkey(top);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->values().size(), 6u);
    EXPECT_EQ(key->values()[0].name, "Caf\xC3\xA9");
    EXPECT_EQ(key->values()[0].data, std::string("\x80 5 ?", 6));
    EXPECT_EQ(key->values()[1].type, (DWORD)REG_EXPAND_SZ);
    EXPECT_EQ(key->values()[1].data, std::string("%SystemRoot%\\\xE9", 15));
    EXPECT_EQ(key->values()[2].data, std::string("a\0b\0\0", 5));
    EXPECT_EQ(key->values()[3].data, std::string("a\0", 2)) << "REG_BINARY stays as bytes";
    EXPECT_EQ(key->values()[4].data, std::string("?\0", 2)) << "a surrogate pair is one character";
    EXPECT_EQ(key->values()[5].data, bytes({0x10, 0, 0, 0}));
}

TEST(ParseRegFile, Version5Utf8WithAndWithoutBom) {
    const std::string body = "Windows Registry Editor Version 5.00\n\n"
                             "[HKEY_CURRENT_USER\\Software\\Test]\n"
                             "\"Euro\"=\"\xE2\x82\xAC\xC3\xA9\"\n"
                             "\"Bad\"=\"\xE9t\xE9\"\n"
                             "\"Hex\"=hex(1):e9,00,00,00\n";
    for (const std::string &file : {body, "\xEF\xBB\xBF" + body}) {
        SCOPED_TRACE(file.size());
        RegKey top;
        ASSERT_EQ(nt::parseregfile(file, &top), (DWORD)ERROR_SUCCESS);
        const RegKey *key = top.subkey("HKEY_CURRENT_USER");
        key = key ? key->subkey("software") : nullptr;
        key = key ? key->subkey("test") : nullptr;
        ASSERT_NE(key, nullptr);
        ASSERT_EQ(key->values().size(), 3u);
        EXPECT_EQ(key->values()[0].data, std::string("\x80\xE9", 3));
        // Bytes that are not UTF-8 are taken as code page 1252.
        EXPECT_EQ(key->values()[1].data, std::string("\xE9t\xE9", 4));
        EXPECT_EQ(key->values()[2].data, std::string("\xE9\0", 2));
    }
}

TEST(ParseRegFile, NamesIgnoreCaseAndKeepFirstSpelling) {
    const std::string file = "REGEDIT4\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwick\\Quillog]\r\n"
                             "\"Application-HOST12\"=dword:00000001\r\n"
                             "\"Version\"=\"V1.7.0\"\r\n"
                             "[hkey_local_machine\\software\\BRANTWICK\\quillog]\r\n"
                             "\"APPLICATION-host12\"=dword:00000002\r\n"
                             "\"\xC9t\xE9\"=\"1\"\r\n"
                             "\"\xE9T\xC9\"=\"2\"\r\n"
                             "\"stra\xDF"
                             "e\"=\"3\"\r\n"
                             "\"STRASSE\"=\"4\"\r\n";
    RegKey top;
    ASSERT_EQ(nt::parseregfile(file, &top), (DWORD)ERROR_SUCCESS);
    ASSERT_EQ(top.subkeys().size(), 1u);
    const RegKey *key = top.subkey("HKEY_LOCAL_MACHINE")->subkey("Software")->subkey("brantwick");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->name(), "Brantwick");
    key = key->subkey("QUILLOG");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->name(), "Quillog");
    ASSERT_EQ(key->values().size(), 5u);
    EXPECT_EQ(key->values()[0].name, "Application-HOST12");
    EXPECT_EQ(key->values()[0].data, bytes({2, 0, 0, 0}));
    EXPECT_EQ(key->values()[1].name, "Version");
    EXPECT_EQ(key->values()[2].name, "\xC3\x89t\xC3\xA9") << "accented letters fold one to one";
    EXPECT_EQ(key->values()[2].data, std::string("2", 2));
    EXPECT_EQ(key->values()[4].name, "STRASSE") << "sharp s is not SS";
    EXPECT_EQ(key->value("strasse")->data, std::string("4", 2));
    EXPECT_EQ(key->value("STRA\xC3\x9F"
                         "E")
                  ->data,
              std::string("3", 2));
}

TEST(ParseRegFile, DeletionSectionsAndValues) {
    const std::string file = "REGEDIT4\r\n\r\n"
                             "; a comment\r\n"
                             "[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n"
                             "\"x\"=\"1\"\r\n"
                             "[HKEY_LOCAL_MACHINE\\A\\D]\r\n"
                             "\"y\"=\"1\"\r\n"
                             "\"z\"=\"2\"\r\n"
                             "   ; indented comment\r\n"
                             "\"Y\"=-\r\n"
                             "[-HKEY_LOCAL_MACHINE\\a\\b]\r\n"
                             "[-HKEY_LOCAL_MACHINE\\NotThere\\Either]\r\n";
    RegKey top;
    ASSERT_EQ(nt::parseregfile(file, &top), (DWORD)ERROR_SUCCESS);
    const RegKey *a = top.subkey("HKEY_LOCAL_MACHINE")->subkey("A");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->subkey("B"), nullptr);
    ASSERT_NE(a->subkey("D"), nullptr);
    ASSERT_EQ(a->subkey("D")->values().size(), 1u);
    EXPECT_EQ(a->subkey("D")->values()[0].name, "z");
}

TEST(ParseRegFile, EmptyFileIsEmptyTree) {
    for (const char *text : {"", "\r\n  \r\n", "REGEDIT4\r\n", "\r\nREGEDIT4"}) {
        SCOPED_TRACE(text);
        RegKey top;
        EXPECT_EQ(nt::parseregfile(text, &top), (DWORD)ERROR_SUCCESS);
        EXPECT_TRUE(top.subkeys().empty());
    }
}

TEST(ParseRegFile, HostileInputGivesCorruptWithLine) {
    std::string deep = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 600; ++i) deep += "\\k";
    deep += "]\r\n";
    std::string manykeys = "REGEDIT4\r\n";
    for (int i = 0; i < 3000; ++i) manykeys += "[HKEY_LOCAL_MACHINE\\K" + std::to_string(i) + "]\r\n\"v\"=dword:1\r\n";
    struct Row {
        std::string text;
        size_t line;
    } rows[] = {
        {"garbage", 1},
        {"REGEDIT5\r\n[HKEY_LOCAL_MACHINE\\A]\r\n", 1},
        {"REGEDIT4\r\n\"v\"=\"value before any key\"\r\n", 2},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A\r\n", 2},
        {"REGEDIT4\r\n[]\r\n", 2},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"unterminated\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"unterminated=\"x\"\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"x\" trailing\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=dword:123456789\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=dword:\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=dword:12 34\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:0g\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:123\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:01,,02\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex(:01\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex(2\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex(2)01\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=sz:x\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:01,\\\r\n", 3},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\nstray text\r\n", 3},
        {std::string("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A\0B]\r\n", 32), 0},
        {"\xFF\xFEW\0i\0n", 0},
        {deep, 2},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n" + std::string(8 << 20, 'x') + "\r\n", 3},
        // Values are parsed when asked for, but every line is checked at once.
        {manykeys + "[HKEY_LOCAL_MACHINE\\K7]\r\n\"v\"=dword:12x\r\n", 2 * 3000 + 3},
        {manykeys + "\"w\"=hex:01,\\\r\n  02,,\r\n", 2 * 3000 + 3},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text.substr(0, 80));
        RegKey top;
        nt::RegFileError err;
        EXPECT_EQ(nt::parseregfile(row.text, &top, &err), (DWORD)ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(err.line, row.line);
        EXPECT_FALSE(err.what.empty());
    }
}

TEST(ParseRegFile, RandomDamageNeverCrashes) {
    // Truncations and byte damage of a valid file: every result is either a
    // tree or the corrupt code (the sanitizer build checks the reads).
    const std::string good = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\EventLog\\Application\\Src]\r\n"
                             "\"EventMessageFile\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,\\\r\n"
                             "  52,00,6f,00,6f,00,74,00,25,00,00,00\r\n"
                             "\"TypesSupported\"=dword:00000007\r\n"
                             "@=\"x\\\\y\\\"z\"\r\n";
    std::mt19937 rng(12345);
    int parsed = 0, refused = 0;
    for (size_t cut = 0; cut <= good.size(); ++cut) {
        RegKey top;
        DWORD rc = nt::parseregfile(good.substr(0, cut), &top);
        ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_REGISTRY_CORRUPT) << cut;
    }
    for (int round = 0; round < 3000; ++round) {
        std::string damaged = round % 2 ? good : utf16file(std::u16string(good.begin(), good.end()));
        for (int k = 0; k < 1 + round % 4; ++k) damaged[rng() % damaged.size()] = (char)(rng() & 0xFF);
        RegKey top;
        DWORD rc = nt::parseregfile(damaged, &top);
        ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_REGISTRY_CORRUPT) << round;
        (rc ? refused : parsed)++;
    }
    EXPECT_GT(parsed, 0);
    EXPECT_GT(refused, 0);
}

// A tree with every type and awkward content, in two roots.
void buildtree(RegKey *top) {
    RegKey *key = top->addsubkey("HKEY_LOCAL_MACHINE")->addsubkey("SOFTWARE")->addsubkey("Brantwick");
    RegKey *q = key->addsubkey("Quillog");
    q->setvalue("Application-HOST12", REG_DWORD, bytes({0x2a, 0, 0, 0}));
    q->setvalue("Version", REG_SZ, std::string("V1.7.1", 7));
    q->setvalue("", REG_SZ, std::string("default", 8));
    q->setvalue("no terminator", REG_SZ, "abc");
    q->setvalue("empty sz", REG_SZ, "");
    q->setvalue("inner nul", REG_SZ, std::string("a\0b\0", 4));
    q->setvalue("two nuls", REG_SZ, std::string("ab\0\0", 4));
    q->setvalue("line break", REG_SZ, std::string("a\r\nb", 5));
    q->setvalue("quotes \"and\" \\slashes\\", REG_SZ, std::string("\"C:\\x\\\" \\", 10));
    q->setvalue("trailing backslash", REG_SZ, std::string("C:\\", 4));
    std::string all;
    for (int c = 1; c < 256; ++c) all += (char)c;
    q->setvalue("every byte", REG_SZ, all + '\0');
    q->setvalue("every byte raw", REG_BINARY, '\0' + all);
    q->setvalue("expand", REG_EXPAND_SZ, std::string("%SystemRoot%\\x.dll", 19));
    q->setvalue("multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6));
    q->setvalue("short dword", REG_DWORD, bytes({1, 2}));
    q->setvalue("long dword", REG_DWORD, bytes({1, 2, 3, 4, 5}));
    q->setvalue("qword", REG_QWORD, bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    q->setvalue("none", REG_NONE, "");
    q->setvalue("odd type", 0xFFFFFFFF, "\x01");
    q->setvalue("caf\xC3\xA9 \xE2\x82\xAC\xC3\xBF", REG_SZ, std::string("\xE9", 2));
    q->setvalue("\t spaces ", REG_SZ, std::string(" x ", 4));
    key->addsubkey("Empty key");
    key->addsubkey("Key]with [brackets]")->setvalue("v", REG_DWORD, bytes({0, 0, 0, 0}));
    key->addsubkey("-dash");
    top->addsubkey("HKEY_CURRENT_USER")->addsubkey("Software")->setvalue("u", REG_BINARY, "");
}

// Same names, types and data in the same order, forms aside: a tree built
// through setvalue has none, the same tree read from a file has them.
bool samedata(const RegKey &a, const RegKey &b) {
    if (a.name() != b.name() || a.values().size() != b.values().size() || a.subkeys().size() != b.subkeys().size())
        return false;
    for (size_t i = 0; i < a.values().size(); ++i) {
        const RegValue &x = a.values()[i], &y = b.values()[i];
        if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
    }
    for (size_t i = 0; i < a.subkeys().size(); ++i)
        if (!samedata(*a.subkeys()[i], *b.subkeys()[i])) return false;
    return true;
}

TEST(WriteRegFile, RoundTripEveryTypeAndByte) {
    RegKey tree;
    buildtree(&tree);
    std::string text = nt::writeregfile(tree);
    RegKey back;
    nt::RegFileError err;
    ASSERT_EQ(nt::parseregfile(text, &back, &err), (DWORD)ERROR_SUCCESS) << err.line << ": " << err.what;
    EXPECT_TRUE(samedata(back, tree)) << text;
    EXPECT_EQ(nt::writeregfile(back), text);
    RegKey again;
    ASSERT_EQ(nt::parseregfile(nt::writeregfile(back), &again), (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(again == back) << "a tree read from a file comes back with its forms";
}

TEST(WriteRegFile, WritesRegedit4WithCrLfAndReadableForms) {
    RegKey tree;
    buildtree(&tree);
    std::string text = nt::writeregfile(tree);
    EXPECT_EQ(text.compare(0, 12, "REGEDIT4\r\n\r\n"), 0);
    for (size_t i = text.find('\n'); i != std::string::npos; i = text.find('\n', i + 1)) {
        ASSERT_GT(i, 0u);
        ASSERT_EQ(text[i - 1], '\r') << "bare LF at " << i;
    }
    size_t start = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; start = end + 2, end = text.find("\r\n", start))
        EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    for (const char *expected : {
             "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwick\\Quillog]\r\n",
             "\r\n\"Application-HOST12\"=dword:0000002a\r\n",
             "\r\n\"Version\"=\"V1.7.1\"\r\n",
             "\r\n@=\"default\"\r\n",
             "\r\n\"no terminator\"=hex(1):61,62,63\r\n",
             "\r\n\"empty sz\"=hex(1):\r\n",
             "\r\n\"quotes \\\"and\\\" \\\\slashes\\\\\"=\"\\\"C:\\\\x\\\\\\\" \\\\\"\r\n",
             "\r\n\"expand\"=hex(2):25,53,79,73,74,65,6d,52,6f,6f,74,25,5c,78,2e,64,6c,6c,00\r\n",
             "\r\n\"short dword\"=hex(4):01,02\r\n",
             "\r\n\"odd type\"=hex(ffffffff):01\r\n",
             "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwick\\Empty key]\r\n\r\n",
             "\r\n[HKEY_CURRENT_USER\\Software]\r\n\"u\"=hex:\r\n",
         }) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    }
}

TEST(WriteRegFile, UnchangedFileIsWrittenByteForByte) {
    // Each format comes back as it was read: names and strings outside code
    // page 1252 (two keys that differ only there, a lone UTF-16 unit), data
    // forms the writer would not choose, a root after a backslash so that it
    // is no deletion, and no sections for keys that only hold keys.
    std::u16string lone = u"\"\U0001F600 ";
    lone += (char16_t)0xDC00;
    const struct {
        const char *what;
        std::string file;
        nt::RegFormat format;
    } rows[] = {
        {"REGEDIT4 in code page 1252",
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Caf\xE9]\r\n\"\xC9t\xE9\"=\"\x80 5\"\r\n\"d\"=dword:7\r\n"
         "\"b\"=hex:01,02,\\\r\n  03\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty]\r\n\r\n[\\-x]\r\n\r\n",
         {false, nt::RegEncoding::Ansi, true}},
        {"version 5 in UTF-16",
         utf16file(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\日本]\r\n"
                   u"\"a\"=\"東京\"\r\n" +
                   lone +
                   u"\"=hex(2):3d,d8,00,de,\\\r\n  "
                   u"00,00\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\中国]\r\n\"a\"=\"北京\"\r\n\r\n"),
         {true, nt::RegEncoding::Utf16, true}},
        {"version 5 in UTF-8 with byte-order mark and LF",
         u8"\xEF\xBB\xBFWindows Registry Editor Version "
         u8"5.00\n\n[HKEY_CURRENT_USER\\Приложение]\n\"Ключ\"=\"значение\"\n\n",
         {true, nt::RegEncoding::Utf8Bom, false}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        RegKey top, back;
        nt::RegFormat format;
        ASSERT_EQ(nt::parseregfile(row.file, &top, nullptr, &format), (DWORD)ERROR_SUCCESS);
        EXPECT_TRUE(format == row.format);
        EXPECT_EQ(nt::writeregfile(top, format), row.file);
        ASSERT_EQ(nt::parseregfile(nt::writeregfile(top, format), &back), (DWORD)ERROR_SUCCESS);
        EXPECT_TRUE(back == top);
    }
    RegKey top;
    ASSERT_EQ(nt::parseregfile(rows[1].file, &top), (DWORD)ERROR_SUCCESS);
    const RegKey *software = top.subkey("HKEY_CURRENT_USER")->subkey("software");
    EXPECT_EQ(software->subkeys().size(), 2u);
    EXPECT_EQ(software->subkey(u8"日本")->value("A")->data, std::string("??", 3)) << "the ANSI view";
}

TEST(ParseRegFile, CostGrowsLinearlyWithValuesKeysAndRemovals) {
    // A key of n entries made from add ('#' stands for the entry's number),
    // then the first half removed by remove. The time for 4n entries against
    // n, each the best of five: about 4 when each entry costs the same, 16
    // when each costs a scan of the rest.
    auto file = [](int n, const std::string &add, const std::string &remove) {
        auto fill = [](const std::string &pattern, int i) {
            size_t at = pattern.find('#');
            return pattern.substr(0, at) + std::to_string(i) + pattern.substr(at + 1);
        };
        std::string text = "REGEDIT4\r\n[HKEY_CURRENT_USER\\Wide]\r\n";
        for (int i = 0; i < n; ++i) text += fill(add, i);
        for (int i = 0; !remove.empty() && i < n / 2; ++i) text += fill(remove, i);
        return text;
    };
    const struct {
        const char *add, *remove;
    } rows[] = {
        {"\"v#\"=dword:00000001\r\n", ""},
        {"\"v#\"=dword:00000001\r\n", "\"V#\"=-\r\n"},
        {"[HKEY_CURRENT_USER\\Wide\\k#]\r\n", "[-HKEY_CURRENT_USER\\WIDE\\K#]\r\n"},
    };
    const int n = 10000;
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.add) + row.remove);
        double best[2] = {1e9, 1e9};
        for (int size : {0, 1}) {
            const int count = size ? 4 * n : n;
            const std::string text = file(count, row.add, row.remove);
            // Processor time of this thread: a busy machine does not count.
            auto cpu = [] {
                struct timespec ts;
                clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
                return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
            };
            for (int round = 0; round < 5; ++round) {
                RegKey top;
                const double t0 = cpu();
                ASSERT_EQ(nt::parseregfile(text, &top), (DWORD)ERROR_SUCCESS);
                const RegKey *wide = top.subkey("HKEY_CURRENT_USER")->subkey("wide");
                const std::string first = wide->values().empty() ? wide->subkeys()[0]->name() : wide->values()[0].name;
                best[size] = std::min(best[size], cpu() - t0);
                EXPECT_EQ(wide->values().size() + wide->subkeys().size(), (size_t)(*row.remove ? count / 2 : count));
                EXPECT_EQ(first.substr(1), *row.remove ? std::to_string(count / 2) : "0") << "order kept";
            }
        }
        EXPECT_LT(best[1], 10 * best[0]) << best[0] << " s for " << n << ", " << best[1] << " s for " << 4 * n;
    }
}

// The name with the case of its ASCII letters turned round.
std::string othercase(const std::string &name) {
    std::string out = name;
    for (char &c : out) c = (char)(isupper((unsigned char)c) ? tolower((unsigned char)c) : toupper((unsigned char)c));
    return out;
}

TEST(ParseRegFile, ValuesAskedForLaterAreWhatTheLinesMake) {
    // A key's value lines are parsed when they are first asked for, one
    // value (readvalue, straight from the text) or all of them (values()):
    // both give what the file's lines make, its later lines winning.
    const std::string test = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n";
    std::string wide = test;
    for (int i = 0; i < 20; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%x", i);
        wide += "\"w" + std::to_string(i) + "\"=dword:" + number + "\r\n";
    }
    wide += test + "\"W3\"=-\r\n\"w7\"=-\r\n\"W3\"=hex:03\r\n";
    std::vector<RegValue> wideleft;
    for (int i = 0; i < 20; ++i)
        if (i != 3 && i != 7) wideleft.push_back({"w" + std::to_string(i), REG_DWORD, bytes({i, 0, 0, 0}), ""});
    wideleft.push_back({"W3", REG_BINARY, bytes({3}), ""}); // set anew: its new spelling
    const struct {
        const char *what;
        std::string lines;
        std::vector<RegValue> values; // of HKEY_LOCAL_MACHINE\SOFTWARE\Test, forms aside
        std::vector<std::string> gone;
    } rows[] = {
        {"sections of one key add up; a later line wins, the first spelling stays",
         test + "\"Count\"=dword:1\r\n\"b\"=\"x\"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"count\"=dword:9\r\n" +
             "[hkey_local_machine\\software\\TEST]\r\n\"COUNT\"=dword:2\r\n\"c\"=hex(2):41,00\r\n",
         {{"Count", REG_DWORD, bytes({2, 0, 0, 0}), ""},
          {"b", REG_SZ, std::string("x", 2), ""},
          {"c", REG_EXPAND_SZ, std::string("A", 2), ""}},
         {"Other"}},
        {"a value removed in a later section, another set again after its removal",
         test + "\"x\"=dword:1\r\n\"y\"=dword:2\r\n" + test +
             "\"X\"=-\r\n\"z\"=dword:3\r\n\"Y\"=-\r\n\"y\"=dword:4\r\n",
         {{"z", REG_DWORD, bytes({3, 0, 0, 0}), ""}, {"y", REG_DWORD, bytes({4, 0, 0, 0}), ""}},
         {"x"}},
        {"a removed key's values stay gone when a key of its name comes back",
         test + "\"old\"=dword:1\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n" + test + "\"new\"=dword:2\r\n",
         {{"new", REG_DWORD, bytes({2, 0, 0, 0}), ""}},
         {"old"}},
        {"continued data, comments, blanks and a bracket in string data",
         test + "\"h\"=hex:01,\\\r\n  02,\\\r\n\r\n; note\r\n  \"s\"=\"[x]\"\r\n\r\n\"d\"=dword:5\r\n",
         {{"h", REG_BINARY, bytes({1, 2}), ""},
          {"s", REG_SZ, std::string("[x]", 4), ""},
          {"d", REG_DWORD, bytes({5, 0, 0, 0}), ""}},
         {"note"}},
        {"escaped names, and the default value under both of its spellings",
         test + "\"a\\\"b\"=dword:1\r\n\"c:\\\\d\"=dword:2\r\n@=\"one\"\r\n\"\"=\"two\"\r\n",
         {{"a\"b", REG_DWORD, bytes({1, 0, 0, 0}), ""},
          {"c:\\d", REG_DWORD, bytes({2, 0, 0, 0}), ""},
          {"", REG_SZ, std::string("two", 4), ""}},
         {"a\\\"b"}},
        {"a key of many values, some removed and one set again", wide, wideleft, {"w7"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string file = "REGEDIT4\r\n\r\n" + row.lines;
        RegKey asked, listed;
        ASSERT_EQ(nt::parseregfile(file, &asked), (DWORD)ERROR_SUCCESS);
        ASSERT_EQ(nt::parseregfile(file, &listed), (DWORD)ERROR_SUCCESS);
        const RegKey *key = testkey(asked);
        ASSERT_NE(key, nullptr);
        for (int pass = 0; pass < 2; ++pass) { // from the text, then from the parsed list
            for (const RegValue &v : row.values) {
                DWORD type = 0;
                std::string data;
                const std::string name = othercase(v.name);
                ASSERT_TRUE(key->readvalue(name.data(), name.size(), &type, &data)) << v.name;
                EXPECT_EQ(type, v.type) << v.name;
                EXPECT_EQ(data, v.data) << v.name;
            }
            for (const std::string &name : row.gone) {
                DWORD type;
                std::string data;
                EXPECT_FALSE(key->readvalue(name.data(), name.size(), &type, &data)) << name;
            }
            key->values();
        }
        const RegKey *all = testkey(listed);
        ASSERT_NE(all, nullptr);
        ASSERT_EQ(all->values().size(), row.values.size());
        for (size_t i = 0; i < row.values.size(); ++i) {
            EXPECT_EQ(all->values()[i].name, row.values[i].name);
            EXPECT_EQ(all->values()[i].type, row.values[i].type);
            EXPECT_EQ(all->values()[i].data, row.values[i].data);
        }
        RegKey again;
        ASSERT_EQ(nt::parseregfile(nt::writeregfile(listed), &again), (DWORD)ERROR_SUCCESS);
        EXPECT_TRUE(again == listed) << "written and read back";
    }
}

TEST(ParseRegFile, ValuesReadFromTheTextOfEveryEncoding) {
    // The text that values are read from is the file's bytes when they are
    // ASCII, else their UTF-8 form; a version 5 file's string types are
    // UTF-16 in its hex data. readvalue answers alike from each, and the
    // file is written back as it was.
    const std::string head4 = "REGEDIT4\r\n\r\n", head5 = "Windows Registry Editor Version 5.00\r\n\r\n";
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"S\"=\"a\\\\b\"\r\n";
    const std::string expand4 = "\"E\"=hex(2):41,42,00\r\n", expand5 = "\"E\"=hex(2):41,00,42,00,00,00\r\n";
    const std::string accented = "\"\xC3\x89t\xC3\xA9\"=dword:00000007\r\n";
    std::u16string utf16;
    for (char c : head5 + key + expand5) utf16 += (char16_t)(unsigned char)c;
    utf16 += u"\"\u00c9t\u00e9\"=dword:00000007\r\n";
    const struct {
        const char *what;
        std::string file, written; // written: the file with the blank line the writer ends a key with
        bool hasaccented;
    } rows[] = {
        {"REGEDIT4, ASCII", head4 + key + expand4, head4 + key + expand4 + "\r\n", false},
        {"REGEDIT4, code page 1252", head4 + key + expand4 + "\"\xC9t\xE9\"=dword:00000007\r\n",
         head4 + key + expand4 + "\"\xC9t\xE9\"=dword:00000007\r\n\r\n", true},
        {"version 5, UTF-8, ASCII", head5 + key + expand5, head5 + key + expand5 + "\r\n", false},
        {"version 5, UTF-8 with byte-order mark, ASCII", "\xEF\xBB\xBF" + head5 + key + expand5,
         "\xEF\xBB\xBF" + head5 + key + expand5 + "\r\n", false},
        {"version 5, UTF-8 with byte-order mark", "\xEF\xBB\xBF" + head5 + key + expand5 + accented,
         "\xEF\xBB\xBF" + head5 + key + expand5 + accented + "\r\n", true},
        {"version 5, UTF-16", utf16file(utf16), utf16file(utf16 + u"\r\n"), true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        RegKey top;
        nt::RegFormat format;
        ASSERT_EQ(nt::parseregfile(row.file, &top, nullptr, &format), (DWORD)ERROR_SUCCESS);
        const RegKey *test = testkey(top);
        ASSERT_NE(test, nullptr);
        const struct {
            std::string name;
            DWORD type;
            std::string data;
        } wanted[] = {
            {"s", REG_SZ, std::string("a\\b", 4)},
            {"e", REG_EXPAND_SZ, std::string("AB", 3)},
            {"\xC3\xA9T\xC3\x89", REG_DWORD, bytes({7, 0, 0, 0})},
        };
        for (const auto &w : wanted) {
            DWORD type = 0;
            std::string data;
            const bool found = test->readvalue(w.name.data(), w.name.size(), &type, &data);
            ASSERT_EQ(found, w.type != REG_DWORD || row.hasaccented) << w.name;
            if (!found) continue;
            EXPECT_EQ(type, w.type) << w.name;
            EXPECT_EQ(data, w.data) << w.name;
        }
        EXPECT_EQ(nt::writeregfile(top, format), row.written);
    }
}

TEST(RegKey, ListsSmallAndIndexedFindNamesInAnyCase) {
    // Below IndexFrom entries a list is searched in place, above it through
    // its index: both compare names by foldname, also a name given as code
    // page 1252 bytes against its UTF-8 spelling, and both keep the order
    // through removals.
    for (int count : {4, 40}) {
        SCOPED_TRACE(count);
        RegKey key("k");
        for (int i = 0; i < count; ++i) {
            key.addsubkey("Sub" + std::to_string(i));
            key.setvalue("Val" + std::to_string(i), REG_DWORD, bytes({i, 0, 0, 0}));
        }
        key.addsubkey("Caf\xC3\xA9");
        key.setvalue("Caf\xC3\xA9", REG_SZ, std::string("e", 2));
        for (int i = 0; i < count; i += 3) {
            EXPECT_TRUE(key.removesubkey("SUB" + std::to_string(i)));
            EXPECT_TRUE(key.removevalue("vAL" + std::to_string(i)));
            EXPECT_FALSE(key.removevalue("val" + std::to_string(i)));
        }
        bool created = false;
        key.addsubkey("sub0", &created);
        EXPECT_TRUE(created);
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) {
            const std::string name = "sUB" + std::to_string(i);
            EXPECT_EQ(key.subkey(name) != nullptr, i % 3 != 0 || i == 0) << name;
            EXPECT_EQ(key.value("VAL" + std::to_string(i)) != nullptr, i % 3 != 0) << i;
            if (i % 3) names.push_back("Sub" + std::to_string(i));
        }
        names.insert(names.end(), {"Caf\xC3\xA9", "sub0"});
        std::vector<std::string> listed;
        for (const auto &sub : key.subkeys()) listed.push_back(sub->name());
        EXPECT_EQ(listed, names) << "order kept, the new key last";
        for (const char *spelling : {"CAF\xC3\x89", "caf\xC3\xA9", "CAF\xC9", "caf\xE9"}) {
            EXPECT_EQ(key.subkey(spelling), key.subkey("Caf\xC3\xA9")) << spelling;
            ASSERT_NE(key.value(spelling), nullptr) << spelling;
            EXPECT_EQ(key.value(spelling)->data, std::string("e", 2));
        }
        EXPECT_EQ(key.subkey("Cafe"), nullptr);
        EXPECT_EQ(key.subkey("Caf"), nullptr);
        EXPECT_EQ(key.value("Caf\xC3\xA9 "), nullptr);
    }
}

TEST(RegKey, SetValueKeepsPlaceAndSpelling) {
    RegKey key("k");
    key.setvalue("Application-HOST12", REG_DWORD, bytes({1, 0, 0, 0}));
    key.setvalue("Version", REG_SZ, std::string("V1", 3));
    key.setvalue("APPLICATION-host12", REG_SZ, std::string("7", 2));
    ASSERT_EQ(key.values().size(), 2u);
    EXPECT_EQ(key.values()[0], (RegValue{"Application-HOST12", REG_SZ, std::string("7", 2), ""}));
    EXPECT_TRUE(key.removevalue("version"));
    EXPECT_FALSE(key.removevalue("version"));
    bool created = false;
    RegKey *sub = key.addsubkey("Sub", &created);
    EXPECT_TRUE(created);
    EXPECT_EQ(key.addsubkey("SUB", &created), sub);
    EXPECT_FALSE(created);
    EXPECT_EQ(sub->name(), "Sub");
    EXPECT_TRUE(key.removesubkey("sUB"));
    EXPECT_EQ(key.subkey("Sub"), nullptr);
}

} // namespace
