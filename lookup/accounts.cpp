// accounts.cpp: the account name cache.
// PLACEHOLDER until the account name cache lands: nothing is cached yet.
#include "lookup/accounts.h"

void resetaccounts() {}
