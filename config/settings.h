// settings.h: the formatting settings file QUILLOG.INI and the settings echo.
//
// The settings decide how every output line is built: separators, the
// characters that stand in for line breaks, the date picture, the limits of
// the description column and its split into fragments, and the optional data
// and record-number columns. They are read once per run and never change
// afterwards.
#ifndef QUILLOG_CONFIG_SETTINGS_H
#define QUILLOG_CONFIG_SETTINGS_H

// What the data column holds.
enum DumpMode {
    DumpNone = 0, // no data column
    DumpHex = 1,  // the data bytes as upper-case hexadecimal digits
    DumpChar = 2  // the data bytes as characters
};

// The largest description and the most fragments a description is split into.
const int LongestMessage = 64000;
const int MostFragments = 10;

// The settings of QUILLOG.INI; the initial values are the defaults.
struct FormatSettings {
    bool Format = true;                  // type, category and description as texts
    bool DateFormatSet = false;          // false: the locale's default short date
    char DateFormat[100] = {};           // the date picture, at most 89 characters
    char FieldSeparator = ',';           // between columns and between fragments
    char ReplaceFieldSeparator = ' ';    // stands for FieldSeparator inside the text columns
    char ReplaceCR = '^';                // stands for a carriage return inside the text columns
    char ReplaceLF = '^';                // stands for a line feed inside the text columns
    char StringSeparator = ';';          // between joined insertion strings
    int MaxMessageLen = LongestMessage;  // most characters of the description
    int MaxFragmentLen = LongestMessage; // most characters of one fragment and of the data column
    DumpMode DumpData = DumpNone;        // the optional data column
    bool DumpRecnum = false;             // the optional record-number column
    int FragmentCount = 1;               // fields of the description: MaxMessageLen / MaxFragmentLen rounded up
};

extern FormatSettings Settings;

// Fills Settings from QUILLOG.INI in the executable's folder, or leaves the
// defaults when there is no such file. On a bad line or too many fragments it
// prints one line and ends the process with exit code 2.
void readini();

// Fills Settings from the settings file at path, as readini does for the file
// beside the executable. A file that cannot be opened leaves the defaults.
void readsettings(const char *path);

// The display name of a separator character for the echo: "(tab)", "(LF)",
// "(CR)", "(blank)", or " " for any other character.
const char *sepname(char c);

// Prints the settings echo: the command-line settings, then the formatting
// settings, one line each.
void printsettings();

#endif // QUILLOG_CONFIG_SETTINGS_H
