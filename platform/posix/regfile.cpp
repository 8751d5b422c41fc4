// regfile.cpp: the key tree, and reading and writing regedit text files.
//
// Divisions: the tree; decoding a file to 8-bit text; parsing the text;
// writing "REGEDIT4".
#include "platform/posix/regfile.h"

#include "platform/posix/common.h"

#include <algorithm>
#include <cstdio>

namespace nt {

namespace {

std::string foldname(const std::string &name) {
    std::string folded(name);
    for (char &c : folded) c = (char)fold1252((unsigned char)c);
    return folded;
}

bool isstringtype(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

} // namespace

// ---------------------------------------------------------------- the tree

RegKey *RegKey::subkey(const std::string &name) const {
    auto it = index_.find(foldname(name));
    return it == index_.end() ? nullptr : it->second;
}

RegKey *RegKey::addsubkey(const std::string &name, bool *created) {
    std::string folded = foldname(name);
    auto it = index_.find(folded);
    if (created) *created = it == index_.end();
    if (it != index_.end()) return it->second;
    subkeys_.push_back(std::make_unique<RegKey>(name));
    RegKey *key = subkeys_.back().get();
    index_.emplace(std::move(folded), key);
    return key;
}

bool RegKey::removesubkey(const std::string &name) {
    auto it = index_.find(foldname(name));
    if (it == index_.end()) return false;
    RegKey *key = it->second;
    index_.erase(it);
    subkeys_.erase(std::find_if(subkeys_.begin(), subkeys_.end(),
                                [key](const std::unique_ptr<RegKey> &k) { return k.get() == key; }));
    return true;
}

const RegValue *RegKey::value(const std::string &name) const {
    for (const RegValue &v : values_)
        if (nameeq(v.name, name)) return &v;
    return nullptr;
}

void RegKey::setvalue(const std::string &name, DWORD type, std::string data) {
    for (RegValue &v : values_) {
        if (nameeq(v.name, name)) {
            v.type = type;
            v.data = std::move(data);
            return;
        }
    }
    values_.push_back(RegValue{name, type, std::move(data)});
}

bool RegKey::removevalue(const std::string &name) {
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        if (nameeq(it->name, name)) {
            values_.erase(it);
            return true;
        }
    }
    return false;
}

bool RegKey::operator==(const RegKey &o) const {
    if (name_ != o.name_ || values_ != o.values_ || subkeys_.size() != o.subkeys_.size()) return false;
    for (size_t i = 0; i < subkeys_.size(); ++i)
        if (*subkeys_[i] != *o.subkeys_[i]) return false;
    return true;
}

namespace {

// ---------------------------------------------------------------- decoding

const char HEADER4[] = "REGEDIT4";
const char HEADER5[] = "Windows Registry Editor Version 5.00";

// UTF-16LE units to 8-bit text; a surrogate pair is one character and
// becomes one '?', as the system's conversion makes it.
std::string utf16toansi(const uint8_t *p, size_t units) {
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = (uint32_t)p[2 * i] | ((uint32_t)p[2 * i + 1] << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
            uint32_t next = (uint32_t)p[2 * i + 2] | ((uint32_t)p[2 * i + 3] << 8);
            if (next >= 0xDC00 && next < 0xE000) ++i;
        }
        out += widetoansi(u);
    }
    return out;
}

// UTF-8 to 8-bit text. A byte that does not start a well-formed sequence is
// taken as a code page 1252 character, so a version 5 file saved by an
// editor in the ANSI code page still reads as written.
std::string utf8toansi(const std::string &in) {
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        unsigned char c = (unsigned char)in[i];
        size_t len = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 1;
        if (c < 0x80 || len == 1 || i + len > in.size()) {
            out += (char)c;
            ++i;
            continue;
        }
        uint32_t cp = c & (0xFF >> (len + 1));
        bool ok = true;
        for (size_t k = 1; k < len && ok; ++k) {
            unsigned char t = (unsigned char)in[i + k];
            ok = (t & 0xC0) == 0x80;
            cp = (cp << 6) | (t & 0x3F);
        }
        // Overlong forms and surrogates are not characters.
        if (ok && ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000))) || (len == 4 && cp < 0x10000)))
            ok = false;
        if (!ok) {
            out += (char)c;
            ++i;
            continue;
        }
        out += widetoansi(cp);
        i += len;
    }
    return out;
}

bool startswith(const std::string &s, size_t at, const char *prefix) {
    size_t n = std::strlen(prefix);
    return s.size() - std::min(at, s.size()) >= n && s.compare(at, n, prefix) == 0;
}

// The file's text in code page 1252, and whether it is a version 5 file
// (whose hex data of string types is UTF-16LE).
DWORD decodefile(const std::string &bytes, std::string *text, bool *v5, RegFileError *err) {
    const uint8_t *p = (const uint8_t *)bytes.data();
    if (bytes.size() >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
        if (bytes.size() % 2) {
            err->what = "UTF-16 text with an odd number of bytes";
            return ERROR_REGISTRY_CORRUPT;
        }
        *text = utf16toansi(p + 2, (bytes.size() - 2) / 2);
    } else if (startswith(bytes, 0, "\xEF\xBB\xBF")) {
        *text = utf8toansi(bytes.substr(3));
    } else {
        *text = bytes;
    }
    size_t start = text->find_first_not_of(" \t\r\n");
    if (start == std::string::npos) {
        *v5 = false;
        text->clear();
        return ERROR_SUCCESS;
    }
    if (text->find('\0') != std::string::npos) {
        err->what = "NUL character in the text";
        return ERROR_REGISTRY_CORRUPT;
    }
    *v5 = startswith(*text, start, HEADER5);
    // A version 5 file without a byte-order mark is UTF-8.
    if (*v5 && (unsigned char)bytes[0] != 0xFF && (unsigned char)bytes[0] != 0xEF) *text = utf8toansi(*text);
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- parsing

bool isblank(char c) { return c == ' ' || c == '\t'; }

std::string trimright(const std::string &s) {
    size_t end = s.size();
    while (end > 0 && (isblank(s[end - 1]) || s[end - 1] == '\r')) --end;
    return s.substr(0, end);
}

int hexdigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads 1 to 8 hex digits at s[*pos]; false when there are none or more.
bool hexnumber(const std::string &s, size_t *pos, uint32_t *out) {
    uint32_t v = 0;
    size_t n = 0;
    while (*pos < s.size() && hexdigit(s[*pos]) >= 0) {
        if (++n > 8) return false;
        v = (v << 4) | (uint32_t)hexdigit(s[*pos]);
        ++*pos;
    }
    *out = v;
    return n > 0;
}

bool onlyblanks(const std::string &s, size_t pos) {
    for (; pos < s.size(); ++pos)
        if (!isblank(s[pos])) return false;
    return true;
}

// A quoted string at s[*pos] (which is '"'); \\ and \" are escapes, any
// other backslash stands for itself. Moves *pos past the closing quote.
bool quoted(const std::string &s, size_t *pos, std::string *out) {
    out->clear();
    for (size_t i = *pos + 1; i < s.size(); ++i) {
        if (s[i] == '"') {
            *pos = i + 1;
            return true;
        }
        if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) ++i;
        *out += s[i];
    }
    return false;
}

class Parser {
public:
    Parser(const std::string &text, bool v5, RegKey *top, RegFileError *err)
        : text_(text), v5_(v5), top_(top), err_(err) {}

    DWORD run() {
        std::string line;
        if (!nextline(&line)) return ERROR_SUCCESS;
        while (trimright(line).empty())
            if (!nextline(&line)) return ERROR_SUCCESS;
        std::string header = trimright(line);
        if (header != HEADER4 && header != HEADER5) return fail("not a registry file (no REGEDIT4 header)");
        while (nextline(&line)) {
            size_t start = 0;
            while (start < line.size() && isblank(line[start])) ++start;
            std::string body = trimright(line.substr(start));
            if (body.empty() || body[0] == ';') continue;
            DWORD rc;
            if (body[0] == '[')
                rc = section(body);
            else if (body[0] == '"' || body[0] == '@')
                rc = valueline(body);
            else
                rc = fail("unexpected text");
            if (rc) return rc;
        }
        return ERROR_SUCCESS;
    }

private:
    const std::string &text_;
    bool v5_;
    RegKey *top_;
    RegFileError *err_;
    size_t pos_ = 0;
    size_t lineno_ = 0;
    RegKey *current_ = nullptr;

    DWORD fail(const char *what) {
        err_->line = lineno_;
        err_->what = what;
        return ERROR_REGISTRY_CORRUPT;
    }

    bool nextline(std::string *line) {
        if (pos_ >= text_.size()) return false;
        size_t end = text_.find('\n', pos_);
        if (end == std::string::npos) end = text_.size();
        line->assign(text_, pos_, end - pos_);
        pos_ = end + 1;
        ++lineno_;
        return true;
    }

    DWORD section(const std::string &body) {
        if (body.back() != ']') return fail("section without closing ']'");
        bool remove = body.size() > 1 && body[1] == '-';
        std::string path = body.substr(remove ? 2 : 1, body.size() - (remove ? 3 : 2));
        std::vector<std::string> parts;
        size_t from = 0;
        for (;;) {
            size_t slash = path.find('\\', from);
            std::string part = path.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
            if (!part.empty()) parts.push_back(part);
            if (slash == std::string::npos) break;
            from = slash + 1;
        }
        if (parts.empty()) return fail("section without a key path");
        if (parts.size() > MAXKEYDEPTH + 1) return fail("key path too deep");
        current_ = nullptr;
        if (remove) {
            RegKey *parent = top_;
            for (size_t i = 0; parent && i + 1 < parts.size(); ++i) parent = parent->subkey(parts[i]);
            if (parent) parent->removesubkey(parts.back());
            return ERROR_SUCCESS;
        }
        RegKey *key = top_;
        for (const std::string &part : parts) key = key->addsubkey(part);
        current_ = key;
        return ERROR_SUCCESS;
    }

    DWORD valueline(const std::string &body) {
        if (!current_) return fail("value outside a key section");
        std::string name;
        size_t pos = 0;
        if (body[0] == '@') {
            pos = 1;
        } else if (!quoted(body, &pos, &name)) {
            return fail("unterminated value name");
        }
        while (pos < body.size() && isblank(body[pos])) ++pos;
        if (pos >= body.size() || body[pos] != '=') return fail("value without '='");
        ++pos;
        while (pos < body.size() && isblank(body[pos])) ++pos;

        if (pos < body.size() && body[pos] == '"') {
            std::string data;
            if (!quoted(body, &pos, &data)) return fail("unterminated string data");
            if (!onlyblanks(body, pos)) return fail("text after string data");
            data += '\0';
            current_->setvalue(name, REG_SZ, std::move(data));
            return ERROR_SUCCESS;
        }
        if (pos < body.size() && body[pos] == '-' && onlyblanks(body, pos + 1)) {
            current_->removevalue(name);
            return ERROR_SUCCESS;
        }
        std::string lower = body.substr(pos, 6);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return (char)(c >= 'A' && c <= 'Z' ? c + 32 : c); });
        if (lower == "dword:") {
            pos += 6;
            uint32_t v;
            if (!hexnumber(body, &pos, &v) || !onlyblanks(body, pos)) return fail("bad dword data");
            std::string data(4, '\0');
            put32((uint8_t *)&data[0], v);
            current_->setvalue(name, REG_DWORD, std::move(data));
            return ERROR_SUCCESS;
        }
        if (lower.compare(0, 3, "hex") != 0) return fail("unknown value type");
        pos += 3;
        uint32_t type = REG_BINARY;
        if (pos < body.size() && body[pos] == '(') {
            ++pos;
            if (!hexnumber(body, &pos, &type) || pos >= body.size() || body[pos] != ')') return fail("bad hex(N) type");
            ++pos;
        }
        if (pos >= body.size() || body[pos] != ':') return fail("hex type without ':'");
        std::string data;
        if (DWORD rc = hexbytes(body.substr(pos + 1), &data)) return rc;
        if (v5_ && isstringtype(type)) data = utf16toansi((const uint8_t *)data.data(), data.size() / 2);
        current_->setvalue(name, type, std::move(data));
        return ERROR_SUCCESS;
    }

    // Comma-separated bytes, continued on the next line after a final '\'.
    DWORD hexbytes(std::string rest, std::string *out) {
        for (;;) {
            rest = trimright(rest);
            bool more = !rest.empty() && rest.back() == '\\';
            if (more) rest.pop_back();
            size_t pos = 0;
            for (;;) {
                while (pos < rest.size() && isblank(rest[pos])) ++pos;
                if (pos >= rest.size()) break;
                int hi = hexdigit(rest[pos]);
                if (hi < 0) return fail("bad hex byte");
                int v = hi;
                ++pos;
                if (pos < rest.size() && hexdigit(rest[pos]) >= 0) v = (v << 4) | hexdigit(rest[pos++]);
                *out += (char)v;
                while (pos < rest.size() && isblank(rest[pos])) ++pos;
                if (pos >= rest.size()) break;
                if (rest[pos] != ',') return fail("bad hex byte separator");
                ++pos;
            }
            if (!more) return ERROR_SUCCESS;
            if (!nextline(&rest)) return fail("file ends inside a continued value");
        }
    }
};

// ---------------------------------------------------------------- writing

void writehex(std::string *out, size_t column, const std::string &data) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        if (column > 76) {
            *out += "\\\r\n  ";
            column = 2;
        }
        *out += digits[(unsigned char)data[i] >> 4];
        *out += digits[(unsigned char)data[i] & 15];
        column += 2;
        if (i + 1 < data.size()) {
            *out += ',';
            ++column;
        }
    }
    *out += "\r\n";
}

void writequoted(std::string *out, const std::string &s) {
    *out += '"';
    for (char c : s) {
        if (c == '\\' || c == '"') *out += '\\';
        *out += c;
    }
    *out += '"';
}

// REG_SZ data that the quoted form gives back unchanged: one line of text,
// terminated, with no other NUL.
bool plaintext(const RegValue &v) {
    return v.type == REG_SZ && !v.data.empty() && v.data.back() == '\0' &&
           v.data.find_first_of(std::string("\0\r\n", 3)) == v.data.size() - 1;
}

// A key's section line and its values. "[-" starts a deletion: a root whose
// name starts with '-' is written after a backslash, which the parser skips.
void writesection(std::string *out, const RegKey &key, const std::string &path) {
    *out += path[0] == '-' ? "[\\" : "[";
    *out += path + "]\r\n";
    for (const RegValue &v : key.values()) {
        size_t start = out->size();
        if (v.name.empty())
            *out += '@';
        else
            writequoted(out, v.name);
        *out += '=';
        if (plaintext(v)) {
            writequoted(out, v.data.substr(0, v.data.size() - 1));
            *out += "\r\n";
        } else if (v.type == REG_DWORD && v.data.size() == 4) {
            uint32_t number = 0;
            Bytes{(const uint8_t *)v.data.data(), v.data.size()}.u32(0, &number);
            char text[24];
            std::snprintf(text, sizeof text, "dword:%08x\r\n", (unsigned)number);
            *out += text;
        } else {
            char prefix[20];
            if (v.type == REG_BINARY)
                std::snprintf(prefix, sizeof prefix, "hex:");
            else
                std::snprintf(prefix, sizeof prefix, "hex(%x):", (unsigned)v.type);
            *out += prefix;
            writehex(out, out->size() - start, v.data);
        }
    }
    *out += "\r\n";
}

// Writes key's section when it needs one, then its subkeys'. *path is the
// key's path; it is extended for each subkey and put back, so that the paths
// cost no more than the lines written.
void writekey(std::string *out, const RegKey &key, std::string *path) {
    if (!key.values().empty() || key.subkeys().empty()) writesection(out, key, *path);
    for (const auto &sub : key.subkeys()) {
        size_t len = path->size();
        *path += '\\';
        *path += sub->name();
        writekey(out, *sub, path);
        path->resize(len);
    }
}

} // namespace

DWORD parseregfile(const std::string &bytes, RegKey *top, RegFileError *err) {
    RegFileError ignored;
    if (!err) err = &ignored;
    *err = RegFileError();
    if (bytes.size() > MAXREGFILE) {
        err->what = "file too large";
        return ERROR_REGISTRY_CORRUPT;
    }
    std::string text;
    bool v5 = false;
    if (DWORD rc = decodefile(bytes, &text, &v5, err)) return rc;
    return Parser(text, v5, top, err).run();
}

std::string writeregfile(const RegKey &top) {
    std::string out = "REGEDIT4\r\n\r\n";
    std::string path;
    for (const auto &root : top.subkeys()) {
        path = root->name();
        writekey(&out, *root, &path);
    }
    return out;
}

} // namespace nt
