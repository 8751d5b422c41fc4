// printable.cpp: untrusted text made safe for the console.
#include "console/console.h"

#include <cstddef>

const char *printable(const char *text) {
    static char areas[4][4096];
    static unsigned next;
    char *area = areas[next++ % 4];
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p && n < sizeof areas[0] - 1; ++p) {
        if (*p < 32 || *p == 127) {
            if (n + 2 > sizeof areas[0] - 1) break;
            area[n++] = '^';
            area[n++] = (char)(*p ^ 0x40);
        } else {
            area[n++] = (char)*p;
        }
    }
    area[n] = '\0';
    return area;
}
