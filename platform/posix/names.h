// names.h: the computer's name and the locale's string comparison.
//
// GetComputerNameA answers the local computer's name of the network model
// (network.h). lstrcmpiA compares code page 1252 text the way the English
// (United States) locale's word sort does, without regard to case: letters
// first by their base letter, then by accent; punctuation and symbols before
// digits, digits before letters; hyphen, apostrophe and control characters
// weigh only when everything else is equal; the soft hyphen not at all;
// "\xDF" counts as "ss" and "\xE6" as "ae". LCMapStringA gives the sort key
// of that comparison: two strings' keys compare (byte for byte) as lstrcmpiA
// compares the strings, so equal keys mean equal strings.
#ifndef QUILLOG_POSIX_NAMES_H
#define QUILLOG_POSIX_NAMES_H

#include "platform/win32.h"

#endif // QUILLOG_POSIX_NAMES_H
