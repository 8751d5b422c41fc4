// settings.cpp: the formatting settings file QUILLOG.INI.
// PLACEHOLDER until the settings file reader lands: defaults only, no echo.
#include "config/settings.h"

void readini() {}

void printsettings() {}
