// accounts.h: the account name cache, SID to "DOMAIN\name" or SID text.
#ifndef QUILLOG_LOOKUP_ACCOUNTS_H
#define QUILLOG_LOOKUP_ACCOUNTS_H

#include "platform/win32.h"

// Marks every slot of the account cache empty; called once at the start of a run.
void resetaccounts();

#endif // QUILLOG_LOOKUP_ACCOUNTS_H
