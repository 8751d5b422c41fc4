// evtsource.h: the event sources' message modules, cached for the run.
//
// For one event source and one kind of message file, CEvtSource::Find reads
// the file list from the registry of the computer the log belongs to, loads
// each file once per run as a data-only module (MessageModule::Find), and
// the entry remembers the message ids that no module could format, so that
// each failure is reported once and never retried. Both caches are lists,
// newest entry first, with an index beside each (by spelling and by the
// locale's sort key) and beside each entry's failed ids, so that a lookup
// costs the same whatever a hostile log makes them hold; a failed lookup is
// cached like a successful one. Nothing here is ever freed: entries live until the
// process ends.
#ifndef QUILLOG_LOOKUP_EVTSOURCE_H
#define QUILLOG_LOOKUP_EVTSOURCE_H

#include "platform/win32.h"

#include <cstdint>
#include <unordered_set>

// A singly linked list of untyped, non-null pointers, pushed at the head and
// walked with a cursor that the caller owns. Nodes are never freed.
struct PtrNode {
    void *value;
    PtrNode *next;
};

// A position in one walk over a PtrList: null before the head.
typedef const PtrNode *ListCursor;

class PtrList {
public:
    // Puts value in front of the list.
    void Push(void *value);
    // Moves the cursor to the head (from null) or to the next node and returns
    // that node's value; null at the end, where the cursor is null again.
    void *Next(ListCursor &cursor) const;

private:
    PtrNode *head = nullptr;
};

// The three kinds of message file of an event source, as registry values.
enum class MessageKind : int32_t { Message = 0, Category = 1, Parameter = 2 };

// One message file, loaded once per run: Handle is null when the load failed,
// and then it is never tried again.
struct MessageModule {
    char *Path;     // the path as loaded
    HMODULE Handle; // the data-file module, or null

    // The module for path (compared without regard to case), loaded on the
    // first request; a failed load is reported once.
    static MessageModule *Find(const char *path);
};

// The cache entry of one event source for one kind of message file.
class CEvtSource {
public:
    char *Name;                            // the source name as first asked for
    MessageKind Kind;                      // which kind of message file
    PtrList Modules;                       // MessageModule*, the one named last in the registry first
    PtrList FailedIds;                     // DWORD* of the ids no module could format
    std::unordered_set<DWORD> FailedIndex; // the same ids, to look them up at once

    // The entry for source (compared without regard to case) and kind,
    // created and filled from the registry on the first request. Never null;
    // whatever failed while filling it shows only as fewer modules.
    static CEvtSource *Find(const char *source, MessageKind kind);

    // The next loaded module after the cursor (a cursor starts null),
    // skipping files that did not load; null when there are no more.
    HMODULE NextModule(ListCursor &cursor) const;

    // True when formatting id (all 32 bits) has failed before.
    bool IsFailed(DWORD id) const;

    // Remembers that no module could format id and reports it once:
    // "==>Format message error, source=... type=... msg=<low 16 bits> rc=...".
    void AddFailed(DWORD id, DWORD rc);
};

#endif // QUILLOG_LOOKUP_EVTSOURCE_H
