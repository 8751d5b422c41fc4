// biglog.cpp: the benchmark's catalogue of sources and messages, and the
// writers of its message sources, network and logs.
//
// Message texts are written with typed inserts ("{svc}", "{err}" ...): the
// .mc writer numbers them %1, %2 ... in order, and the log writer fills each
// with an insertion string of that kind. "{err}" is a parameter reference
// ("%%1053") resolved from the source's parameter message file; "{pct}" holds
// a lone percent sign, which sends the string through the parameter
// conversion without a reference. Some strings carry commas and line breaks,
// which the line writer must clean.
//
// Records are drawn from a fixed pseudo-random generator (splitmix64), not
// from the standard library's distributions, whose results may differ
// between library versions: a seed gives the same log everywhere.
#include "bench/biglog.h"

#include "platform/posix/evtfile.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace bench {

namespace {

const unsigned IDS_PER_SOURCE = 25;
const char DOMAIN[] = "BENCHDOM";
const char DOMAIN_SID[] = "S-1-5-21-1004336348-1177238915-682003330";
const unsigned DOMAIN_USERS = 90;

struct Template {
    char severity; // 'I' informational, 'W' warning, 'E' error
    const char *text;
};

struct SourceDef {
    const char *name;
    const char *dll;          // holds the source's messages
    const char *extradll;     // named after dll in EventMessageFile (so offered first), or null
    const char *categorydll;  // or null
    const char *parameterdll; // or null
    unsigned firstid;
    unsigned weight;     // share of the records among the dozen
    unsigned categories; // categories 1..n used, 0 for none
    std::vector<Template> templates;
};

// Sentences appended to the templates, so that each of a source's 25 ids has
// a text of its own.
const char *const CODA[] = {"", " No user action is required.", " Check the system configuration.",
                            " If the problem persists, contact your administrator.",
                            " See the related events for details."};

const std::vector<SourceDef> &catalogue() {
    static const std::vector<SourceDef> sources = {
        {"Service Control Manager",
         "svcmsg.dll",
         nullptr,
         nullptr,
         "kernmsg.dll",
         7000,
         30,
         0,
         {{'I', "The {svc} service entered the {state} state."},
          {'I', "The {svc} service was successfully sent a {ctl} control."},
          {'E', "The {svc} service failed to start due to the following error: %n{err}"},
          {'E', "The {svc} service terminated unexpectedly. It has done this {num} time(s). The following corrective "
                "action will be taken in {ms} milliseconds: {action}."},
          {'I', "The start type of the {svc} service was changed from {starttype} to {starttype}."},
          {'E', "A timeout was reached ({ms} milliseconds) while waiting for the {svc} service to connect."},
          {'E', "The {svc} service terminated with the following error: %n{err}"}}},
        {"Tcpip",
         "netmsg.dll",
         "kernmsg.dll",
         nullptr,
         nullptr,
         4190,
         8,
         0,
         {{'W', "The system detected an address conflict for IP address {ip} with the system having network hardware "
                "address {mac}. Network operations on this system may be disrupted as a result."},
          {'E', "The system failed to register host (A) resource records for network adapter%nwith settings:%n   "
                "Adapter Name : {guid}%n   Host Name : {host}%n   Primary Domain Suffix : {host}"},
          {'I', "Your computer has automatically configured the IP address for the Network Card with network address "
                "{mac}. The IP address being used is {ip}."},
          {'W', "TCP/IP has reached the security limit imposed on the number of concurrent TCP connect attempts."},
          {'E', "The IP address lease {ip} for the Network Card with network address {mac} has been denied by the "
                "DHCP server {ip} (The DHCP Server sent a DHCPNACK message)."}}},
        {"Dhcp",
         "netmsg.dll",
         nullptr,
         nullptr,
         nullptr,
         1000,
         7,
         0,
         {{'E', "Your computer has lost the lease to its IP address {ip} on the Network Card with network address "
                "{mac}."},
          {'W', "Your computer was not able to renew its address from the network (from the DHCP Server) for the "
                "Network Card with network address {mac}. The following error occurred: %n{text}. Your computer "
                "will continue to try and obtain an address on its own from the network address (DHCP) server."},
          {'I', "The IP address lease {ip} for the Network Card with network address {mac} has been renewed."},
          {'E', "The DHCP client could not reach a server within {num} seconds on adapter {guid}."},
          {'I', "The DHCP client obtained the address {ip} from server {ip} after {num} attempts."}}},
        {"NetBT",
         "netmsg.dll",
         nullptr,
         nullptr,
         nullptr,
         4300,
         4,
         0,
         {{'E', "The name \"{host}\" could not be registered on the Interface with IP address {ip}. The machine "
                "with the IP address {ip} did not allow the name to be claimed by this machine."},
          {'W', "Initialization failed because the driver device could not be created."},
          {'I', "The NetBIOS name {host} was released on interface {guid}."},
          {'E', "The browser was unable to retrieve a list of servers from the browser master {host} on the network "
                "{dev}. The data is the error code."},
          {'W', "The master browser has received a server announcement from the computer {host} that believes that "
                "it is the master browser for the domain on transport {dev}."}}},
        {"Browser",
         "netmsg.dll",
         nullptr,
         nullptr,
         nullptr,
         8000,
         3,
         0,
         {{'I', "The browser has forced an election on network {dev} because a master browser was stopped."},
          {'W', "The browser service has failed to retrieve the backup list too many times on transport {dev}. The "
                "backup browser is stopping."},
          {'I', "The browser driver has received too many illegal datagrams from the remote computer {host} to name "
                "{host} on transport {dev}."},
          {'E', "The browser was unable to promote itself to master browser. The computer that currently believes it "
                "is the master browser is {host}."},
          {'I', "The browser has been configured to run on transport {dev} with {num} backup servers."}}},
        {"Disk",
         "diskmsg.dll",
         nullptr,
         "catmsg.dll",
         nullptr,
         7,
         8,
         4,
         {{'E', "The device, {dev}, has a bad block."},
          {'W', "An error was detected on device {dev} during a paging operation."},
          {'E', "The driver detected a controller error on {dev}."},
          {'W', "The device, {dev}, did not respond within the timeout period."},
          {'I', "Disk {num} has been surprise removed."},
          {'W', "The disk {vol} is at or near capacity ({pct} used). You may need to delete some files."}}},
        {"Ntfs",
         "diskmsg.dll",
         nullptr,
         "catmsg.dll",
         nullptr,
         50,
         6,
         4,
         {{'E', "The file system structure on the disk is corrupt and unusable. Please run the chkdsk utility on the "
                "volume {vol}."},
          {'W', "{{Delayed Write Failed} Windows was unable to save all the data for the file {path}. The data has "
                "been lost. This error may be caused by a failure of your computer hardware or network connection."},
          {'I', "The volume {vol} was mounted and is {pct} full."},
          {'E', "An I/O operation initiated by the Registry failed unrecoverably. The Registry could not read in, or "
                "write out, or flush, one of the files that contain the system's image of the Registry: {path}"},
          {'W', "The transaction resource manager on volume {vol} encountered an error during recovery: {text}"}}},
        {"W32Time",
         "timemsg.dll",
         nullptr,
         nullptr,
         nullptr,
         20,
         9,
         0,
         {{'I', "The time service is now synchronizing the system time with the time source {host}."},
          {'W', "NtpClient was unable to set a manual peer to use as a time source because of DNS resolution error "
                "on '{host}'. NtpClient will try again in {num} minutes and double the reattempt interval "
                "thereafter. The error was: {text}"},
          {'E', "The time provider NtpClient is configured to acquire time from one or more time sources, however "
                "none of the sources are currently accessible. No attempt to contact a source will be made for {num} "
                "minutes."},
          {'I', "The time service has started advertising as a time source. Offset {num} ms at {time}."},
          {'W', "Time Provider NtpClient: This machine is configured to use the domain hierarchy to determine its "
                "time source, but the computer {host} is not a member of a domain."}}},
        {"Userenv",
         "appmsg.dll",
         nullptr,
         "catmsg.dll",
         nullptr,
         1000,
         7,
         8,
         {{'E', "Windows cannot determine the user or computer name. ({text}). Group Policy processing aborted."},
          {'W', "Windows saved user {domain}\\{user} registry while an application or service was still using the "
                "registry during log off. The memory used by the user's registry has not been freed."},
          {'I', "The Group Policy settings for the user {domain}\\{user} were processed successfully in {ms} "
                "milliseconds."},
          {'E', "Windows cannot load the user's profile but has logged you on with the default profile for the "
                "system. %n%n DETAIL - {text}"},
          {'W', "Windows was unable to load the registry {path}. This is often caused by insufficient memory or "
                "insufficient security rights."}}},
        {"Winlogon",
         "appmsg.dll",
         nullptr,
         "catmsg.dll",
         nullptr,
         1100,
         7,
         8,
         {{'I', "User Logon Notification for Customer Experience Improvement Program for {domain}\\{user}."},
          {'I', "User Logoff Notification for Customer Experience Improvement Program for {domain}\\{user}."},
          {'W', "The Windows logon process has failed to spawn a user application. Application name: {path}. Command "
                "line parameters: {text}."},
          {'E', "The Windows logon process has unexpectedly terminated with status {hex}."},
          {'I', "Automatic certificate enrollment for {domain}\\{user} completed in {ms} ms."}}},
        {"MsiInstaller",
         "appmsg.dll",
         nullptr,
         "catmsg.dll",
         nullptr,
         11700,
         6,
         8,
         {{'I', "Product: {product} -- Installation completed successfully."},
          {'E', "Product: {product} -- Error {num}. The installer has encountered an unexpected error installing "
                "this package. This may indicate a problem with this package. The error code is {num}."},
          {'I', "Windows Installer reconfigured the product. Product Name: {product}. Product Version: {version}. "
                "Reconfiguration success or error status: 0."},
          {'W', "Detection of product '{guid}', feature '{svc}' failed during request for component '{guid}'."},
          {'I', "Product: {product} -- Removal completed successfully."}}},
        {"Print",
         "appmsg.dll",
         nullptr,
         "catmsg.dll",
         nullptr,
         1200,
         5,
         8,
         {{'I', "Document {num}, {text} owned by {user} was printed on {printer} via port {ip}. Size in bytes: "
                "{num}; pages printed: {num}"},
          {'W', "The print spooler failed to share printer {printer} with shared resource name {printer}. Error "
                "{num}."},
          {'I', "Printer {printer} was paused."},
          {'E', "The document {text}, owned by {user}, failed to print on printer {printer}. Data type: RAW. Size of "
                "the spool file in bytes: {num}."},
          {'I', "Printer {printer} was set as the default printer by {user}."}}},
    };
    return sources;
}

const char *const CATEGORIES[] = {"Devices", "Disk",         "Printers", "Services",
                                  "Shell",   "System Event", "Network",  "Logon"};

const struct {
    unsigned id;
    const char *text;
} PARAMETERS[] = {
    {2, "The system cannot find the file specified."},
    {5, "Access is denied."},
    {32, "The process cannot access the file because it is being used by another process."},
    {87, "The parameter is incorrect."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1058, "The service cannot be started, either because it is disabled or because it has no enabled devices "
           "associated with it."},
    {1068, "The dependency service or group failed to start."},
    {1069, "The service did not start due to a logon failure."},
    {1075, "The dependency service does not exist or has been marked for deletion."},
    {1079, "The account specified for this service is different from the account specified for other services "
           "running in the same process."},
    {1722, "The RPC server is unavailable."},
};

const char *const SERVICES[] = {"Print Spooler",
                                "Windows Update",
                                "DHCP Client",
                                "Telephony",
                                "Remote Registry",
                                "Task Scheduler",
                                "Background Intelligent Transfer Service",
                                "Windows Firewall",
                                "Computer Browser",
                                "Server",
                                "Workstation",
                                "Application Experience",
                                "Cryptographic Services",
                                "DNS Client",
                                "Event Log",
                                "Fax",
                                "Help and Support",
                                "IPSEC Services",
                                "Logical Disk Manager",
                                "Messenger",
                                "Net Logon",
                                "Network Connections",
                                "Plug and Play",
                                "Remote Access Connection Manager",
                                "Security Center",
                                "Shell Hardware Detection",
                                "SSDP Discovery",
                                "System Restore Service",
                                "Themes",
                                "Windows Audio"};
const char *const STATES[] = {"running", "stopped", "paused", "start pending", "stop pending"};
const char *const CONTROLS[] = {"start", "stop", "pause", "continue", "interrogate"};
const char *const MILLISECONDS[] = {"30000", "60000", "120000", "0", "5000"};
const char *const ACTIONS[] = {"Restart the service", "Run the configured recovery program", "No action",
                               "Reboot the machine"};
const char *const STARTTYPES[] = {"auto start", "demand start", "disabled", "boot start"};
const char *const HOSTS[] = {"BENCHSRV01",        "BENCHSRV02", "DC01",     "FILESRV", "PRINTSRV",
                             "ntp.bench.example", "WKS-0042",   "WKS-0117", "MAILGW",  "bench.example"};
const char *const FILES[] = {
    "drivers\\atapi.sys", "config\\SOFTWARE",       "spool\\PRINTERS\\00017.SPL", "wbem\\Repository\\FS\\OBJECTS.DATA",
    "catroot2\\edb.log",  "LogFiles\\setupapi.log", "drivers\\etc\\hosts",        "msiexec.exe"};
const char *const TEXTS[] = {
    "The device is not ready.",
    "The network path was not found.",
    "The specified domain either does not exist, or could not be contacted.",
    "Access is denied, or the object is in use.",
    "Quarterly report, final (draft 3).doc",
    "The RPC server is unavailable.\r\nThe call was retried 3 times.",
    "No such host is known.",
    "Configuration data: disk=0, slot=2, retries=5",
};
const char *const PRODUCTS[] = {"Office Professional", "Acrobat Reader 9.4", "Java Runtime 6 Update 22",
                                "SQL Server Native Client", "Bench Toolkit 2.1"};
const char *const PRINTERS[] = {"HP LaserJet 4200", "Accounting Color", "\\\\PRINTSRV\\Floor2", "Plotter A0"};
const char *const FIRSTNAMES = "ajmklsdtrb";
const char *const LASTNAMES[] = {"smith", "jones", "miller", "brown", "davis", "garcia", "wilson", "moore", "taylor"};
const char *const WELL_KNOWN_SIDS[] = {"S-1-5-18", "S-1-5-19", "S-1-5-20"};

template <class T, size_t N> constexpr size_t countof(T (&)[N]) { return N; }

// splitmix64: a small generator whose sequence is fixed by its seed.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return (unsigned)(next() % n); }
    double unit() { return (double)(next() >> 11) / 9007199254740992.0; }
    template <class T, size_t N> T pick(T (&items)[N]) { return items[below((unsigned)N)]; }

private:
    uint64_t state_;
};

std::string username(unsigned i) {
    return std::string(1, FIRSTNAMES[i % 10]) + LASTNAMES[(i / 10) % countof(LASTNAMES)];
}

std::string usersid(unsigned i) { return std::string(DOMAIN_SID) + "-" + std::to_string(1100 + i); }

std::string format(const char *fmt, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0) {
    char text[64];
    snprintf(text, sizeof text, fmt, a, b, c, d);
    return text;
}

// One insertion string of a kind.
std::string insertion(const std::string &kind, Rng &r) {
    if (kind == "svc") return r.pick(SERVICES);
    if (kind == "state") return r.pick(STATES);
    if (kind == "ctl") return r.pick(CONTROLS);
    if (kind == "num") return std::to_string(r.below(100000));
    if (kind == "ms") return r.pick(MILLISECONDS);
    if (kind == "action") return r.pick(ACTIONS);
    if (kind == "starttype") return r.pick(STARTTYPES);
    if (kind == "err") return "%%" + std::to_string(PARAMETERS[r.below((unsigned)countof(PARAMETERS))].id);
    if (kind == "ip") return format("10.%u.%u.%u", r.below(256), r.below(256), 1 + r.below(254));
    if (kind == "mac") return format("000C29%02X%02X%02X", r.below(256), r.below(256), r.below(256));
    if (kind == "host") return r.pick(HOSTS);
    if (kind == "user") return username(r.below(DOMAIN_USERS));
    if (kind == "domain") return DOMAIN;
    if (kind == "path") return std::string("C:\\WINDOWS\\System32\\") + r.pick(FILES);
    if (kind == "dev") return format("\\Device\\Harddisk%u\\DR%u", r.below(4), r.below(8));
    if (kind == "vol") return format("%c:", 'C' + r.below(4));
    if (kind == "pct") return format("%u%%", r.below(101));
    if (kind == "guid")
        return format("{%08X-%04X-%04X-", (unsigned)r.next(), r.below(65536), r.below(65536)) +
               format("%04X-%08X%04X}", r.below(65536), (unsigned)r.next(), r.below(65536));
    if (kind == "text") return r.pick(TEXTS);
    if (kind == "time") return format("%02u:%02u:%02u", r.below(24), r.below(60), r.below(60));
    if (kind == "hex") return format("0x%08X", (unsigned)r.next());
    if (kind == "product") return r.pick(PRODUCTS);
    if (kind == "version") return format("%u.%u.%u", 1 + r.below(12), r.below(10), r.below(9000));
    if (kind == "printer") return r.pick(PRINTERS);
    return "?";
}

// Splits a template into its .mc text (inserts numbered %1, %2 ...) and the
// kinds of its inserts, in order. "{{" is a literal "{".
void parsetemplate(const char *text, std::string *mc, std::vector<std::string> *kinds) {
    for (const char *p = text; *p;) {
        if (p[0] == '{' && p[1] == '{') {
            *mc += '{';
            p += 2;
        } else if (*p == '{') {
            const char *end = strchr(p, '}');
            kinds->emplace_back(p + 1, end);
            *mc += "%" + std::to_string(kinds->size());
            p = end + 1;
        } else {
            *mc += *p++;
        }
    }
}

// The message of index k (0 to 24) of a source: its id without severity
// bits, its severity and its text.
void message(const SourceDef &s, unsigned k, unsigned *id, char *severity, std::string *mc,
             std::vector<std::string> *kinds) {
    const Template &t = s.templates[k % s.templates.size()];
    *id = s.firstid + k;
    *severity = t.severity;
    parsetemplate(t.text, mc, kinds);
    *mc += CODA[(k / s.templates.size()) % countof(CODA)];
}

unsigned severitybits(char severity) { return severity == 'E' ? 3u : severity == 'W' ? 2u : 1u; }

WORD eventtype(char severity) {
    return severity == 'E' ? EVENTLOG_ERROR_TYPE : severity == 'W' ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE;
}

std::string sourcename(unsigned index) {
    const std::vector<SourceDef> &all = catalogue();
    if (index < all.size()) return all[index].name;
    char name[32];
    snprintf(name, sizeof name, "BenchSource%05u", index + 1);
    return name;
}

bool writetext(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) fprintf(stderr, "biglog: cannot write %s\n", path.c_str());
    return (bool)out;
}

const char MC_HEADER[] = "MessageIdTypedef=DWORD\n"
                         "SeverityNames=(Success=0x0 Informational=0x1 Warning=0x2 Error=0x3)\n"
                         "LanguageNames=(English=0x409:MSG00409)\n\n";

// A REG_EXPAND_SZ value as regedit exports it: hex(2) with the terminator.
std::string expandvalue(const char *name, const std::string &text) {
    std::string out = std::string("\"") + name + "\"=hex(2):";
    for (size_t i = 0; i <= text.size(); ++i) {
        char byte[4];
        snprintf(byte, sizeof byte, "%02x", i < text.size() ? (unsigned char)text[i] : 0u);
        out += (i ? "," : "") + std::string(byte);
    }
    return out + "\r\n";
}

std::string dllpath(const char *dll) { return std::string("%SystemRoot%\\System32\\") + dll; }

std::vector<uint8_t> binarysid(const std::string &text) {
    std::vector<unsigned long> parts;
    for (size_t at = 4; at <= text.size();) {
        size_t dash = text.find('-', at);
        if (dash == std::string::npos) dash = text.size();
        parts.push_back(std::stoul(text.substr(at, dash - at)));
        at = dash + 1;
    }
    std::vector<uint8_t> sid = {1, (uint8_t)(parts.size() - 1), 0, 0, 0, 0, 0, (uint8_t)parts[0]};
    for (size_t i = 1; i < parts.size(); ++i)
        for (int b = 0; b < 4; ++b) sid.push_back((uint8_t)(parts[i] >> (8 * b)));
    return sid;
}

std::u16string widen(const std::string &text) {
    std::u16string out;
    for (unsigned char c : text) out += (char16_t)c;
    return out;
}

} // namespace

unsigned catalogsources() { return (unsigned)catalogue().size(); }

bool writemessages(const std::string &dir) {
    std::vector<std::pair<std::string, std::string>> files; // dll, .mc text
    auto fileof = [&](const char *dll) -> std::string & {
        for (auto &f : files)
            if (f.first == dll) return f.second;
        files.emplace_back(dll, std::string("; // ") + dll + ": messages of the benchmark's sources.\n" + MC_HEADER);
        return files.back().second;
    };
    for (const SourceDef &s : catalogue()) {
        std::string &mc = fileof(s.dll);
        for (unsigned k = 0; k < IDS_PER_SOURCE; ++k) {
            unsigned id;
            char severity;
            std::string text;
            std::vector<std::string> kinds;
            message(s, k, &id, &severity, &text, &kinds);
            mc += "MessageId=" + std::to_string(id) + "\nSeverity=" +
                  (severity == 'E'   ? "Error"
                   : severity == 'W' ? "Warning"
                                     : "Informational") +
                  "\nLanguage=English\n" + text + "\n.\n\n";
        }
    }
    std::string &categories = fileof("catmsg.dll");
    for (size_t i = 0; i < countof(CATEGORIES); ++i)
        categories += "MessageId=" + std::to_string(i + 1) + "\nLanguage=English\n" + CATEGORIES[i] + "\n.\n\n";
    std::string &parameters = fileof("kernmsg.dll");
    for (const auto &p : PARAMETERS)
        parameters += "MessageId=" + std::to_string(p.id) + "\nLanguage=English\n" + p.text + "%0\n.\n\n";
    fileof("shortmsg.dll") += shortmessages();
    for (const auto &f : files) {
        std::string name = f.first.substr(0, f.first.size() - 4);
        if (!writetext(dir + "/" + name + ".mc", f.second)) return false;
    }
    return true;
}

bool writenetwork(const std::string &computerfolder, const std::string &dlldir, unsigned sources,
                  bool shortregistered) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path system32 = fs::path(computerfolder) / "c" / "WINDOWS" / "System32";
    fs::create_directories(system32, ec);
    fs::create_directories(fs::path(computerfolder) / "registry", ec);
    for (const auto &entry : fs::directory_iterator(dlldir, ec)) {
        if (entry.path().extension() != ".dll") continue;
        fs::copy_file(entry.path(), system32 / entry.path().filename(), fs::copy_options::overwrite_existing, ec);
        if (ec) {
            fprintf(stderr, "biglog: cannot copy %s: %s\n", entry.path().c_str(), ec.message().c_str());
            return false;
        }
    }
    if (ec) {
        fprintf(stderr, "biglog: cannot read %s: %s\n", dlldir.c_str(), ec.message().c_str());
        return false;
    }

    std::string reg = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
                      "\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n\r\n";
    const std::vector<SourceDef> &all = catalogue();
    for (unsigned i = 0; i < sources; ++i) {
        const SourceDef &s = all[i % all.size()];
        reg += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\" + sourcename(i) + "]\r\n";
        std::string files = dllpath(s.dll);
        if (s.extradll) files += ";" + dllpath(s.extradll);
        reg += expandvalue("EventMessageFile", files);
        if (s.categorydll) {
            reg += expandvalue("CategoryMessageFile", dllpath(s.categorydll));
            reg += format("\"CategoryCount\"=dword:%08x\r\n", s.categories);
        }
        if (s.parameterdll) reg += expandvalue("ParameterMessageFile", dllpath(s.parameterdll));
        reg += "\"TypesSupported\"=dword:00000007\r\n\r\n";
    }
    if (shortregistered) reg += shortregistry();
    std::string accounts = "# accounts of the benchmark's domain\n";
    for (unsigned i = 0; i < DOMAIN_USERS; ++i) accounts += usersid(i) + "=" + DOMAIN + "\\" + username(i) + "\n";
    return writetext(computerfolder + "/registry/HKEY_LOCAL_MACHINE.reg", reg) &&
           writetext(computerfolder + "/accounts.txt", accounts);
}

bool writerecords(const std::string &path, unsigned long records, const std::function<nt::evt::NewRecord()> &next) {
    std::remove(path.c_str());
    const uint32_t maxsize = 0xFFFF0000u;
    nt::evt::LogFile log;
    DWORD rc = log.openorcreate(path, maxsize, 0);
    if (rc != 0) {
        fprintf(stderr, "biglog: cannot create %s, rc=%lu\n", path.c_str(), (unsigned long)rc);
        return false;
    }
    const unsigned long batch = 10000;
    std::vector<nt::evt::NewRecord> recs;
    for (unsigned long done = 0; done < records; done += recs.size()) {
        recs.clear();
        for (unsigned long i = done; i < records && i < done + batch; ++i) recs.push_back(next());
        uint32_t last = 0;
        rc = log.append(recs, maxsize, 0, &last);
        if (rc != 0) {
            fprintf(stderr, "biglog: append to %s failed, rc=%lu\n", path.c_str(), (unsigned long)rc);
            return false;
        }
    }
    return true;
}

bool writelog(const std::string &path, unsigned long records, uint64_t seed, unsigned sources) {
    const std::vector<SourceDef> &all = catalogue();
    if (sources == 0) {
        fprintf(stderr, "biglog: no sources\n");
        return false;
    }
    // The records' users: the domain's accounts and three well-known ones.
    std::vector<std::vector<uint8_t>> sids;
    for (unsigned i = 0; i < DOMAIN_USERS; ++i) sids.push_back(binarysid(usersid(i)));
    for (const char *sid : WELL_KNOWN_SIDS) sids.push_back(binarysid(sid));
    // The insert kinds of every message, parsed once.
    std::vector<std::vector<std::vector<std::string>>> kinds(all.size());
    std::vector<std::vector<uint32_t>> ids(all.size());
    std::vector<std::vector<char>> severities(all.size());
    unsigned totalweight = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        for (unsigned k = 0; k < IDS_PER_SOURCE; ++k) {
            unsigned id;
            char severity;
            std::string text;
            kinds[i].emplace_back();
            message(all[i], k, &id, &severity, &text, &kinds[i].back());
            ids[i].push_back((severitybits(severity) << 30) | id);
            severities[i].push_back(severity);
        }
        if (i < sources) totalweight += all[i].weight;
    }
    std::vector<std::u16string> names;
    for (unsigned i = 0; i < sources; ++i) names.push_back(widen(sourcename(i)));

    Rng r(seed);
    uint32_t now = 1300000000u;
    return writerecords(path, records, [&] {
        // Among the dozen, sources come by weight; further sources equally.
        unsigned index = 0;
        if (sources > all.size()) {
            index = r.below(sources);
        } else {
            unsigned w = r.below(totalweight);
            while (w >= all[index].weight) w -= all[index++].weight;
        }
        const size_t def = index % all.size();
        // A few ids of each source make up most of its records.
        double u = r.unit();
        unsigned k = (unsigned)(IDS_PER_SOURCE * u * u * u);
        nt::evt::NewRecord rec;
        now += r.below(20);
        rec.timegenerated = now - r.below(3);
        rec.timewritten = now;
        rec.eventid = ids[def][k];
        rec.eventtype = eventtype(severities[def][k]);
        rec.category = all[def].categories ? (uint16_t)(1 + r.below(all[def].categories)) : 0;
        rec.source = names[index];
        rec.computer = widen(r.below(20) ? "BENCHSRV01" : "BENCHSRV02");
        for (const std::string &kind : kinds[def][k]) rec.strings.push_back(widen(insertion(kind, r)));
        if (r.below(100) < 40) rec.sid = sids[r.below((unsigned)sids.size())];
        if (r.below(100) < 30) {
            unsigned n = 8 + r.below(65);
            for (unsigned b = 0; b < n; ++b) rec.data.push_back((uint8_t)r.below(256));
        }
        return rec;
    });
}

} // namespace bench
