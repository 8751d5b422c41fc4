// accounts.h: the account name cache, SID to "DOMAIN\name" or SID text.
//
// The user column of a line shows the account of the record's SID as the
// computer running the program resolves it. getuser keeps the texts of the
// last 100 SIDs it saw in the AccountCache, so a SID seen before costs no
// second account lookup while it keeps its slot.
#ifndef QUILLOG_LOOKUP_ACCOUNTS_H
#define QUILLOG_LOOKUP_ACCOUNTS_H

#include "platform/win32.h"

// The longest account text a slot holds.
const size_t AccountTextMax = 64;
const int AccountSlots = 100;

struct AccountSlot {
    PSID Sid;                      // the slot's own copy of its SID, or null while never used
    char Text[AccountTextMax + 1]; // "DOMAIN\name" or the SID text, terminated
    DWORD LastUse;                 // tick count of the last call that returned this slot; 0 = empty
};

// The cache: zero at process start, filled from slot 99 downwards, the slot
// used longest ago replaced when all are taken.
extern AccountSlot AccountCache[AccountSlots];

// Marks every slot of the account cache empty; called once at the start of a run.
void resetaccounts();

// The account text of a SID: "DOMAIN\name" (an empty domain gives
// "\name") when the local computer resolves it with both parts under 32
// characters, otherwise the SID text "S-1-<authority>-<sub>..." with the
// authority's low byte and at most eight sub-authorities. At most 64
// characters. The text stays valid until the next call.
const char *getuser(PSID sid);

// The user column of a record: "" when the record has no SID, or when its
// SID's bytes (8 + 4 per stored sub-authority) do not lie inside UserSidLength
// and the record; otherwise getuser's text, whatever revision and count the
// SID holds (a SID the lookup refuses shows as its text, with revision 1 and
// at most eight sub-authorities).
const char *recorduser(const EVENTLOGRECORD *rec);

#endif // QUILLOG_LOOKUP_ACCOUNTS_H
