// regfile.cpp: the key tree, and reading and writing regedit text files.
//
// Divisions: the tree; decoding a file to UTF-8 text; parsing the text;
// writing a file.
#include "platform/posix/regfile.h"

#include "platform/posix/common.h"

#include <algorithm>
#include <cstdio>

namespace nt {

std::string foldname(const std::string &name) {
    // ASCII names, nearly all of them, fold in place in one pass.
    std::string folded(name.size(), '\0');
    const unsigned char *from = (const unsigned char *)name.data();
    char *to = &folded[0];
    const size_t n = name.size();
    size_t ascii = 0;
    for (; ascii < n; ++ascii) {
        const unsigned char c = from[ascii];
        if (c >= 0x80) break;
        to[ascii] = (char)(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    if (ascii == n) return folded;
    folded.resize(ascii);
    for (size_t i = ascii; i < name.size();) {
        unsigned char c = (unsigned char)name[i];
        if (c < 0x80) {
            folded += (char)fold1252(c);
            ++i;
            continue;
        }
        uint32_t cp = getutf8(name, &i);
        char ansi = widetoansi(cp);
        if (ansi != '?') cp = ansitowide(fold1252((unsigned char)ansi));
        pututf8(&folded, cp);
    }
    return folded;
}

namespace {

bool isstringtype(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Drops the emptied slots of a list, keeping the order of the rest, and
// moves the index along. A slot is live when the index points at it.
template <class T> void compactlist(std::vector<T> *list, std::unordered_map<std::string, size_t> *index) {
    const size_t dead = (size_t)-1;
    std::vector<size_t> moved(list->size(), dead);
    for (const auto &entry : *index) moved[entry.second] = 0;
    size_t live = 0;
    for (size_t i = 0; i < list->size(); ++i) {
        if (moved[i] == dead) continue;
        moved[i] = live;
        if (live != i) (*list)[live] = std::move((*list)[i]);
        ++live;
    }
    list->resize(live);
    for (auto &entry : *index) entry.second = moved[entry.second];
}

} // namespace

// ---------------------------------------------------------------- the tree

void RegKey::compact() const {
    if (!removals_) return;
    compactlist(&values_, &valueindex_);
    compactlist(&subkeys_, &keyindex_);
    removals_ = false;
}

RegKey *RegKey::subkey(const std::string &name) const {
    auto it = keyindex_.find(foldname(name));
    return it == keyindex_.end() ? nullptr : subkeys_[it->second].get();
}

RegKey *RegKey::addsubkey(const std::string &name, bool *created) {
    std::string folded = foldname(name);
    auto it = keyindex_.find(folded);
    if (created) *created = it == keyindex_.end();
    if (it != keyindex_.end()) return subkeys_[it->second].get();
    subkeys_.push_back(std::make_unique<RegKey>(name));
    keyindex_.emplace(std::move(folded), subkeys_.size() - 1);
    return subkeys_.back().get();
}

bool RegKey::removesubkey(const std::string &name) {
    auto it = keyindex_.find(foldname(name));
    if (it == keyindex_.end()) return false;
    subkeys_[it->second].reset();
    keyindex_.erase(it);
    removals_ = true;
    return true;
}

const std::vector<std::unique_ptr<RegKey>> &RegKey::subkeys() const {
    compact();
    return subkeys_;
}

const RegValue *RegKey::value(const std::string &name) const {
    auto it = valueindex_.find(foldname(name));
    return it == valueindex_.end() ? nullptr : &values_[it->second];
}

void RegKey::setvalue(const std::string &name, DWORD type, std::string data, std::string form) {
    std::string folded = foldname(name);
    auto it = valueindex_.find(folded);
    if (it != valueindex_.end()) {
        RegValue &v = values_[it->second];
        v.type = type;
        v.data = std::move(data);
        v.form = std::move(form);
        return;
    }
    values_.push_back(RegValue{name, type, std::move(data), std::move(form)});
    valueindex_.emplace(std::move(folded), values_.size() - 1);
}

bool RegKey::removevalue(const std::string &name) {
    auto it = valueindex_.find(foldname(name));
    if (it == valueindex_.end()) return false;
    values_[it->second] = RegValue();
    valueindex_.erase(it);
    removals_ = true;
    return true;
}

const std::vector<RegValue> &RegKey::values() const {
    compact();
    return values_;
}

bool RegKey::operator==(const RegKey &o) const {
    if (name_ != o.name_ || values() != o.values() || subkeys().size() != o.subkeys().size()) return false;
    for (size_t i = 0; i < subkeys_.size(); ++i)
        if (*subkeys_[i] != *o.subkeys_[i]) return false;
    return true;
}

namespace {

// ---------------------------------------------------------------- decoding

const char Header4[] = "REGEDIT4";
const char Header5[] = "Windows Registry Editor Version 5.00";

uint32_t unitat(const uint8_t *p, size_t i) { return le16(p + 2 * i); }

// UTF-16LE units as code points: a surrogate pair is one, a lone surrogate
// stays itself. each(cp) is called for every one.
template <class Each> void utf16units(const uint8_t *p, size_t units, Each each) {
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = unitat(p, i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
            uint32_t next = unitat(p, i + 1);
            if (next >= 0xDC00 && next < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            }
        }
        each(u);
    }
}

// UTF-16LE units to 8-bit text; a surrogate pair is one character and
// becomes one '?', as the system's conversion makes it.
std::string utf16toansi(const uint8_t *p, size_t units) {
    std::string out;
    out.reserve(units);
    utf16units(p, units, [&out](uint32_t cp) { out += widetoansi(cp); });
    return out;
}

std::string utf16toutf8(const uint8_t *p, size_t units) {
    std::string out;
    out.reserve(units);
    utf16units(p, units, [&out](uint32_t cp) { pututf8(&out, cp); });
    return out;
}

// UTF-8 text made well-formed: a byte that does not start a well-formed
// sequence is taken as a code page 1252 character, so a version 5 file saved
// by an editor in the ANSI code page still reads as written.
std::string wellformed(const std::string &in, size_t from) {
    std::string out;
    out.reserve(in.size() - from);
    for (size_t i = from; i < in.size();) pututf8(&out, getutf8(in, &i));
    return out;
}

bool startswith(const std::string &s, size_t at, const char *prefix) {
    size_t n = std::strlen(prefix);
    return s.size() - std::min(at, s.size()) >= n && s.compare(at, n, prefix) == 0;
}

// The file's text as UTF-8, and the encoding and line ends of its format.
DWORD decodefile(const std::string &bytes, std::string *text, RegFormat *format, RegFileError *err) {
    const uint8_t *p = (const uint8_t *)bytes.data();
    if (bytes.size() >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
        if (bytes.size() % 2) {
            err->what = "UTF-16 text with an odd number of bytes";
            return ERROR_REGISTRY_CORRUPT;
        }
        format->encoding = RegEncoding::Utf16;
        *text = utf16toutf8(p + 2, (bytes.size() - 2) / 2);
    } else if (startswith(bytes, 0, "\xEF\xBB\xBF")) {
        format->encoding = RegEncoding::Utf8Bom;
        *text = wellformed(bytes, 3);
    } else {
        // A version 5 file without a byte-order mark is UTF-8.
        size_t start = bytes.find_first_not_of(" \t\r\n");
        bool v5 = start != std::string::npos && startswith(bytes, start, Header5);
        format->encoding = v5 ? RegEncoding::Utf8 : RegEncoding::Ansi;
        *text = v5 ? wellformed(bytes, 0) : ansitoutf8(bytes);
    }
    size_t eol = text->find('\n');
    format->crlf = eol == std::string::npos || (eol > 0 && (*text)[eol - 1] == '\r');
    if (text->find_first_not_of(" \t\r\n") == std::string::npos) {
        format->version5 = format->encoding != RegEncoding::Ansi;
        text->clear();
        return ERROR_SUCCESS;
    }
    if (text->find('\0') != std::string::npos) {
        err->what = "NUL character in the text";
        return ERROR_REGISTRY_CORRUPT;
    }
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
    Parser(const std::string &text, RegKey *top, RegFileError *err) : text_(text), top_(top), err_(err) {}

    // Parses the text; *v5 tells whether its header is version 5's.
    DWORD run(bool *v5) {
        std::string line;
        if (!nextline(&line)) return ERROR_SUCCESS;
        while (trimright(line).empty())
            if (!nextline(&line)) return ERROR_SUCCESS;
        std::string header = trimright(line);
        if (header != Header4 && header != Header5) return fail("not a registry file (no REGEDIT4 header)");
        *v5 = v5_ = header == Header5;
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
    RegKey *top_;
    RegFileError *err_;
    bool v5_ = false;
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
        if (parts.size() > MaxKeyDepth + 1) return fail("key path too deep");
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
        std::string form = body.substr(pos);

        if (pos < body.size() && body[pos] == '"') {
            std::string text;
            if (!quoted(body, &pos, &text)) return fail("unterminated string data");
            if (!onlyblanks(body, pos)) return fail("text after string data");
            current_->setvalue(name, REG_SZ, utf8toansi(text) + '\0', std::move(form));
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
            current_->setvalue(name, REG_DWORD, std::move(data), std::move(form));
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
        if (DWORD rc = hexbytes(body.substr(pos + 1), &data, &form)) return rc;
        if (v5_ && isstringtype(type)) data = utf16toansi((const uint8_t *)data.data(), data.size() / 2);
        current_->setvalue(name, type, std::move(data), std::move(form));
        return ERROR_SUCCESS;
    }

    // Comma-separated bytes, continued on the next line after a final '\';
    // the lines that continue it are added to *form.
    DWORD hexbytes(std::string rest, std::string *out, std::string *form) {
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
            *form += '\n';
            *form += trimright(rest);
        }
    }
};

// ---------------------------------------------------------------- writing

// The file's bytes, encoded as they are appended; column() counts the
// characters of the current line.
class Writer {
public:
    explicit Writer(const RegFormat &format) : format_(format) {
        if (format_.encoding == RegEncoding::Utf16)
            out_ = "\xFF\xFE";
        else if (format_.encoding == RegEncoding::Utf8Bom)
            out_ = "\xEF\xBB\xBF";
        ascii(format_.version5 ? Header5 : Header4);
        eol();
        eol();
    }

    void ascii(char c) {
        out_ += c;
        if (format_.encoding == RegEncoding::Utf16) out_ += '\0';
        ++column_;
    }
    void ascii(const char *s) {
        while (*s) ascii(*s++);
    }
    // UTF-8 text without line ends.
    void text(const std::string &utf8) {
        for (size_t i = 0; i < utf8.size();) {
            if ((unsigned char)utf8[i] < 0x80) {
                ascii(utf8[i++]);
                continue;
            }
            uint32_t cp = getutf8(utf8, &i);
            ++column_;
            if (format_.encoding == RegEncoding::Ansi) {
                out_ += widetoansi(cp);
            } else if (format_.encoding != RegEncoding::Utf16) {
                pututf8(&out_, cp);
            } else if (cp < 0x10000) {
                unit(cp);
            } else {
                unit(0xD800 + ((cp - 0x10000) >> 10));
                unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
            }
        }
    }
    void eol() {
        if (format_.crlf) ascii('\r');
        ascii('\n');
        column_ = 0;
    }
    size_t column() const { return column_; }
    bool version5() const { return format_.version5; }
    std::string &out() { return out_; }

private:
    void unit(uint32_t u) {
        out_ += (char)(u & 0xFF);
        out_ += (char)(u >> 8);
    }

    RegFormat format_;
    std::string out_;
    size_t column_ = 0;
};

void writehex(Writer *w, const std::string &data) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        if (w->column() > 76) {
            w->ascii('\\');
            w->eol();
            w->ascii("  ");
        }
        w->ascii(digits[(unsigned char)data[i] >> 4]);
        w->ascii(digits[(unsigned char)data[i] & 15]);
        if (i + 1 < data.size()) w->ascii(',');
    }
}

void writequoted(Writer *w, const std::string &utf8) {
    std::string escaped = "\"";
    for (char c : utf8) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c;
    }
    w->text(escaped + '"');
}

// REG_SZ data that the quoted form gives back unchanged: one line of text,
// terminated, with no other NUL.
bool plaintext(const RegValue &v) {
    return v.type == REG_SZ && !v.data.empty() && v.data.back() == '\0' &&
           v.data.find_first_of(std::string("\0\r\n", 3)) == v.data.size() - 1;
}

void writevalue(Writer *w, const RegValue &v) {
    if (v.name.empty())
        w->ascii('@');
    else
        writequoted(w, v.name);
    w->ascii('=');
    if (!v.form.empty()) {
        size_t from = 0;
        for (size_t nl; (nl = v.form.find('\n', from)) != std::string::npos; from = nl + 1) {
            w->text(v.form.substr(from, nl - from));
            w->eol();
        }
        w->text(v.form.substr(from));
    } else if (plaintext(v)) {
        writequoted(w, ansitoutf8(v.data.substr(0, v.data.size() - 1)));
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t number = 0;
        Bytes{(const uint8_t *)v.data.data(), v.data.size()}.u32(0, &number);
        char text[24];
        std::snprintf(text, sizeof text, "dword:%08x", (unsigned)number);
        w->ascii(text);
    } else {
        char prefix[20];
        if (v.type == REG_BINARY)
            std::snprintf(prefix, sizeof prefix, "hex:");
        else
            std::snprintf(prefix, sizeof prefix, "hex(%x):", (unsigned)v.type);
        w->ascii(prefix);
        if (w->version5() && isstringtype(v.type)) {
            std::string wide;
            wide.reserve(2 * v.data.size());
            for (char c : v.data) {
                uint16_t u = ansitowide((unsigned char)c);
                wide += (char)(u & 0xFF);
                wide += (char)(u >> 8);
            }
            writehex(w, wide);
        } else {
            writehex(w, v.data);
        }
    }
    w->eol();
}

// Writes key's section when it needs one, then its subkeys'. *path is the
// key's path; it is extended for each subkey and put back, so that the paths
// cost no more than the lines written.
void writekey(Writer *w, const RegKey &key, std::string *path) {
    if (!key.values().empty() || key.subkeys().empty()) {
        w->ascii('[');
        // "[-" starts a deletion: a root whose name starts with '-' is
        // written after a backslash, which the parser skips.
        if ((*path)[0] == '-') w->ascii('\\');
        w->text(*path);
        w->ascii(']');
        w->eol();
        for (const RegValue &v : key.values()) writevalue(w, v);
        w->eol();
    }
    for (const auto &sub : key.subkeys()) {
        size_t len = path->size();
        *path += '\\';
        *path += sub->name();
        writekey(w, *sub, path);
        path->resize(len);
    }
}

} // namespace

DWORD parseregfile(const std::string &bytes, RegKey *top, RegFileError *err, RegFormat *format) {
    RegFileError ignored;
    if (!err) err = &ignored;
    *err = RegFileError();
    RegFormat found;
    if (bytes.size() > MaxRegFile) {
        err->what = "file too large";
        return ERROR_REGISTRY_CORRUPT;
    }
    std::string text;
    if (DWORD rc = decodefile(bytes, &text, &found, err)) return rc;
    if (!text.empty()) {
        if (DWORD rc = Parser(text, top, err).run(&found.version5)) return rc;
    }
    if (format) *format = found;
    return ERROR_SUCCESS;
}

std::string writeregfile(const RegKey &top, const RegFormat &format) {
    Writer w(format);
    std::string path;
    for (const auto &root : top.subkeys()) {
        path = root->name();
        writekey(&w, *root, &path);
    }
    return std::move(w.out());
}

} // namespace nt
