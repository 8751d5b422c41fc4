// accounts.cpp: the account name cache.
//
// A SID's account is looked up on the local computer (also for logs of other
// computers and backup files), once while the SID keeps its slot. A failed
// lookup, a name or domain too long for the 32-character buffers included,
// gives the SID text, which is cached like a name and not retried. The slot to
// fill is chosen in one walk over the table: a fresh table fills from slot 99
// downwards; a full one gives up the slot with the smallest LastUse, the
// lowest-numbered one among equals.
//
// A hit is found through an index beside the table: a SID's hash names the
// slot last filled with it. The walk finds the lowest-numbered slot in use
// that holds the SID; a slot is in use from its fill until it is emptied or
// refilled, and the program fills a slot only with a SID no slot in use
// holds, so a slot in use that the index names and that holds the SID is the
// one the walk finds. Whatever the index cannot vouch for (a slot emptied or
// refilled, two SIDs of one hash, a SID filled into a second slot) goes
// through the walk.
#include "lookup/accounts.h"

#include "console/console.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

AccountSlot AccountCache[AccountSlots];

namespace {

const DWORD NameSize = 32;    // account and domain name buffers, terminator included
const size_t TextSize = 4096; // working area of one account text

char text[TextSize];

// True when the valid SID held by a slot may equal sid, whose length is
// length: the sub-authority counts and the last four bytes (mostly the
// account's own number) match. Most slots fail this test, which costs no
// call; EqualSid decides for the others.
bool maybesame(PSID held, PSID sid, DWORD length) {
    const BYTE *a = (const BYTE *)held, *b = (const BYTE *)sid;
    return a[1] == b[1] && memcmp(a + length - 4, b + length - 4, 4) == 0;
}

// The slot holding sid, or -1; *candidate receives the slot to fill on a
// miss, *now the tick count the walk was made at.
int findslot(PSID sid, int *candidate, DWORD *now) {
    DWORD oldest = *now = GetTickCount();
    const DWORD length = GetLengthSid(sid);
    *candidate = 0;
    for (int i = 0; i < AccountSlots; ++i) {
        const AccountSlot &slot = AccountCache[i];
        if (slot.LastUse == 0) {
            *candidate = i;
            oldest = 0;
        } else if (maybesame(slot.Sid, sid, length) && EqualSid(slot.Sid, sid)) {
            return i;
        } else if (slot.LastUse < oldest) {
            *candidate = i;
            oldest = slot.LastUse;
        }
    }
    return -1;
}

// The index: bucket hash % IndexSize holds the slot last named for a SID of
// that bucket, or -1; SlotBucket[i] is the bucket that names slot i, or -1.
const size_t IndexSize = 1024;
int IndexSlot[IndexSize];
int SlotBucket[AccountSlots];
bool IndexReady; // the arrays hold -1 where they name nothing
// Set when a SID is filled into a slot while another slot holds it: from
// then on, until the next reset, every lookup walks.
bool IndexDoubtful;

// A hash of the SID's bytes, eight at a time (a SID is 8 + 4n bytes).
size_t sidbucket(PSID sid, DWORD length) {
    const BYTE *p = (const BYTE *)sid;
    uint64_t h = length;
    DWORD i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    }
    if (i < length) {
        uint32_t w;
        memcpy(&w, p + i, 4);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    }
    return (size_t)(h >> 54) % IndexSize;
}

void clearindex() {
    for (int &slot : IndexSlot) slot = -1;
    for (int &bucket : SlotBucket) bucket = -1;
    IndexDoubtful = false;
    IndexReady = true;
}

// The slot the index names for sid, when it is in use and holds sid (as
// the walk compares: EqualSid, which no invalid SID passes); else -1.
int indexedslot(PSID sid, size_t bucket) {
    if (!IndexReady || IndexDoubtful) return -1;
    const int i = IndexSlot[bucket];
    if (i < 0) return -1;
    const AccountSlot &slot = AccountCache[i];
    return slot.LastUse != 0 && EqualSid(slot.Sid, sid) ? i : -1;
}

// Has the index name slot i for the SIDs of bucket.
void nameslot(int i, size_t bucket) {
    if (!IndexReady) clearindex();
    if (SlotBucket[i] >= 0 && IndexSlot[SlotBucket[i]] == i) IndexSlot[SlotBucket[i]] = -1;
    const int other = IndexSlot[bucket];
    if (other >= 0) SlotBucket[other] = -1;
    IndexSlot[bucket] = i;
    SlotBucket[i] = (int)bucket;
}

// True when a slot other than i holds sid, in use or not.
bool heldelsewhere(int i, PSID sid, DWORD length) {
    for (int k = 0; k < AccountSlots; ++k) {
        const AccountSlot &slot = AccountCache[k];
        if (k != i && slot.Sid && maybesame(slot.Sid, sid, length) && EqualSid(slot.Sid, sid)) return true;
    }
    return false;
}

// The SID text: "S-1-", the authority's low byte, and the first n (at most
// eight) sub-authorities, each after a "-". The revision is always written
// as 1.
void sidtext(PSID sid) {
    unsigned long authority = GetSidIdentifierAuthority(sid)->Value[5];
    unsigned count = *GetSidSubAuthorityCount(sid);
    if (count > 8) count = 8;
    unsigned long subs[8] = {0};
    for (unsigned i = 0; i < count; ++i) subs[i] = *GetSidSubAuthority(sid, i);
    int len = snprintf(text, TextSize, "S-1-%lu-%lu-%lu-%lu-%lu-%lu-%lu-%lu-%lu", authority, subs[0], subs[1], subs[2],
                       subs[3], subs[4], subs[5], subs[6], subs[7]);
    if (len < 0 || (size_t)len >= TextSize) internalerror("getuser", 1);
    unsigned dashes = 0;
    for (char *p = text; *p; ++p) {
        if (*p == '-' && ++dashes == count + 3) {
            *p = '\0';
            break;
        }
    }
}

} // namespace

void resetaccounts() {
    for (AccountSlot &slot : AccountCache) slot.LastUse = 0;
    clearindex();
}

const char *getuser(PSID sid) {
    const DWORD sidlength = GetLengthSid(sid);
    const size_t bucket = sidbucket(sid, sidlength);
    if (int hit = indexedslot(sid, bucket); hit >= 0) {
        AccountCache[hit].LastUse = GetTickCount();
        return AccountCache[hit].Text;
    }
    int candidate;
    DWORD now;
    int hit = findslot(sid, &candidate, &now);
    if (hit >= 0) {
        AccountCache[hit].LastUse = now;
        nameslot(hit, bucket);
        return AccountCache[hit].Text;
    }

    AccountSlot &slot = AccountCache[candidate];
    DWORD length = GetLengthSid(sid);
    PSID copy = (PSID)LocalAlloc(LMEM_FIXED, length);
    if (!copy) {
        msgout("==>LocalAlloc rc=%lu\n", (unsigned long)GetLastError());
        fatalexit();
    }
    CopySid(length, copy, sid);
    if (slot.Sid) LocalFree(slot.Sid);
    slot.Sid = copy;
    if (heldelsewhere(candidate, copy, sidlength)) IndexDoubtful = true;
    nameslot(candidate, bucket);

    char name[NameSize], domain[NameSize];
    DWORD namelen = NameSize, domainlen = NameSize;
    SID_NAME_USE use;
    BOOL found = LookupAccountSidA(nullptr, copy, name, &namelen, domain, &domainlen, &use);
    name[NameSize - 1] = '\0';
    domain[NameSize - 1] = '\0';
    if (found) {
        int len = snprintf(text, TextSize, "%s\\%s", domain, name);
        if (len < 0 || (size_t)len >= TextSize) internalerror("getuser", 2);
    } else {
        sidtext(copy);
    }

    size_t len = strlen(text);
    if (len > AccountTextMax) len = AccountTextMax;
    memset(slot.Text, 0, sizeof slot.Text);
    memcpy(slot.Text, text, len);
    slot.LastUse = GetTickCount();
    return slot.Text;
}

const char *recorduser(const EVENTLOGRECORD *rec) {
    DWORD offset = rec->UserSidOffset, length = rec->UserSidLength;
    if (length == 0 || offset > rec->Length || length > rec->Length - offset || length < 8) return "";
    // The SID's own size comes from its stored sub-authority count; those
    // bytes must lie in the record too. Any revision and count is shown.
    const BYTE *sid = (const BYTE *)rec + offset;
    if (8 + 4 * (DWORD)sid[1] > length) return "";
    return getuser((PSID)sid);
}
