// settings.h: the formatting settings file QUILLOG.INI.
#ifndef QUILLOG_CONFIG_SETTINGS_H
#define QUILLOG_CONFIG_SETTINGS_H

// Reads QUILLOG.INI from beside the executable into the process-wide settings.
void readini();

// Prints the settings in force.
void printsettings();

#endif // QUILLOG_CONFIG_SETTINGS_H
