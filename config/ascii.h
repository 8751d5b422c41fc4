// ascii.h: letter case of the program's own texts (options, settings keys,
// variable names), which are ASCII: A to Z and a to z only, whatever the
// locale, so that a byte of 128 and above is never changed.
#ifndef QUILLOG_CONFIG_ASCII_H
#define QUILLOG_CONFIG_ASCII_H

inline char asciilower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

// True when text starts with prefix, letters compared without regard to case.
inline bool startsnocase(const char *text, const char *prefix) {
    for (; *prefix; ++text, ++prefix)
        if (asciilower(*text) != asciilower(*prefix)) return false;
    return true;
}

#endif // QUILLOG_CONFIG_ASCII_H
