#include "config_tool.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <thread>

#include "cli/command_line.h"
#include "errors/error.h"
#include "profile/profile_value.h"
#include "registry/key_path.h"
#include "registry/registry_key.h"
#include "text/cp1252.h"
#include "win32/config_dir.h"
#include "win32/registry_store.h"
#include "win32/error_api.h"

namespace ecran::config_tool {
namespace {

constexpr const char* kUsage =
    R"(Usage: ecran-config [--file NAME] get SECTION KEY [--default TEXT]
       ecran-config [--file NAME] set SECTION KEY VALUE
       ecran-config [--file NAME] seed SECTION KEY DEFAULT
       ecran-config list KEYPATH

Prints, sets and seeds one setting of ecran's INI file or of its registry
store, and lists a key of the registry store.

Commands:
  get SECTION KEY    print the value of KEY in SECTION; when nothing is
                     stored (no key, or an empty value) print the --default
                     text, or print nothing and exit with status 1
  set SECTION KEY VALUE
                     store VALUE, then read it back to check that it landed
  seed SECTION KEY DEFAULT
                     print the stored value; when nothing is stored, store
                     DEFAULT and print it (what the display does with its
                     port at start-up)
  list KEYPATH       list the values (name = value) and the sub keys (name\)
                     of a registry key, such as
                     'HKEY_CURRENT_USER\Software\Example'; the default value
                     is shown as (default)

Options:
  --file NAME        the INI file; default "QUOLVEtavrin.ini", the display's
                     own file. A name without a directory lives in
                     $XDG_CONFIG_HOME/ecran (default ~/.config/ecran).
                     A name that begins with "$" addresses the registry
                     store instead: with '$HKEY_CURRENT_USER\Software\Example'
                     SECTION is a sub key of that key and KEY a value name
  --default TEXT     (get) what to print when nothing is stored
  -h, --help         print this help and exit
  --                 end of options: what follows are arguments, even when
                     it begins with "-"

Registry roots: HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG, HKEY_CURRENT_USER,
HKEY_DYN_DATA, HKEY_LOCAL_MACHINE, HKEY_PERFORMANCE_DATA, HKEY_USERS (in any
case; abbreviations such as HKCU are not recognised).

Text is read and printed in UTF-8 and stored in Windows-1252; a character
that Windows-1252 cannot hold is refused.

Exit status: 0 done, 1 not found or not stored, 2 wrong usage, 3 the
registry store cannot be reached (another program kept it locked, or it is
unreadable, read-only or damaged): nothing is known of the value then.
)";

// Longest section or key name that reaches the store whole.
constexpr std::size_t kMaxNameLength = 600;
// Longest value that reads back whole from an INI file.
constexpr std::size_t kMaxIniValueLength = profile::kLongestReadValue;

struct UsageError {
    std::string message;
};

struct Options {
    std::string file = kDefaultFile;  // Windows-1252
    std::optional<std::string> fallback;  // --default, Windows-1252
    bool fileGiven = false;
    bool help = false;
    std::vector<std::string> positional;  // UTF-8, as typed
};

std::string quoted(std::string_view cp1252) { return "'" + text::toUtf8(cp1252) + "'"; }

// One code point in UTF-8, to name a character in a message.
std::string utf8Of(char32_t cp) {
    std::string out;
    text::appendUtf8(out, cp);
    return out;
}

// The terminal's UTF-8 as the program's Windows-1252 text, or a usage error
// that names the argument and the character it cannot take.
std::string toProgramText(std::string_view utf8, std::string_view role) {
    const text::Utf8Conversion converted = text::fromUtf8(utf8);
    if (converted.malformed) throw UsageError{std::string(role) + " is not valid UTF-8"};
    if (converted.unmappable) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(*converted.unmappable));
        throw UsageError{std::string(role) + " '" + std::string(utf8) + "' holds '" + utf8Of(*converted.unmappable) +
                         "' (" + code + "), which Windows-1252 cannot hold"};
    }
    return converted.text;
}

Options parse(const std::vector<std::string>& args) {
    Options options;
    cli::CommandLine line(args, {"-h"}, cli::CommandLine::OtherShortWords::AreOperands);
    while (line.next()) {
        const std::string& arg = line.word();
        if (!line.isOption()) {
            options.positional.push_back(arg);
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (line.names("--file")) {
            const std::optional<std::string> name = line.value("--file");
            if (!name) throw UsageError{"--file needs a file name"};
            // An empty name would make the profile functions use a file named
            // after this tool instead of the display's.
            if (name->empty()) throw UsageError{"--file needs a file name, not empty text"};
            options.file = toProgramText(*name, "--file");
            options.fileGiven = true;
        } else if (line.names("--default")) {
            const std::optional<std::string> text = line.value("--default");
            if (!text) throw UsageError{"--default needs a text"};
            options.fallback = toProgramText(*text, "--default");
        } else {
            throw UsageError{"unknown option '" + arg + "'"};
        }
    }
    return options;
}

bool isRegistryFile(const std::string& file) { return file.size() > 1 && file[0] == '$'; }

// Where a setting lives, for messages.
std::string describe(const std::string& file, const std::string& section, const std::string& key) {
    if (isRegistryFile(file)) {
        return "value " + quoted(key) + " of registry key " + quoted(file.substr(1) + "\\" + section);
    }
    return "key " + quoted(key) + " in section " + quoted(section) + " of " + quoted(file);
}

// Registry paths with an unknown root would be read as empty and written
// nowhere without a word; refuse them before anything is done.
void checkRegistryRoot(std::string_view keyPath) {
    if (registry::splitKeyPath(keyPath).root == nullptr) {
        throw UsageError{"'" + text::toUtf8(keyPath) +
                         "' does not begin with a registry root and a backslash, such as HKEY_CURRENT_USER\\"};
    }
}

struct Setting {
    std::string section;
    std::string key;
};

Setting settingArguments(const Options& options, const std::string& sectionUtf8, const std::string& keyUtf8) {
    Setting s{toProgramText(sectionUtf8, "SECTION"), toProgramText(keyUtf8, "KEY")};
    if (s.section.empty()) throw UsageError{"SECTION must not be empty"};
    // The registry's default value has the empty name; an INI key needs one.
    if (s.key.empty() && !isRegistryFile(options.file)) throw UsageError{"KEY must not be empty"};
    if (s.section.size() > kMaxNameLength || s.key.size() > kMaxNameLength) {
        throw UsageError{"SECTION and KEY may be at most " + std::to_string(kMaxNameLength) + " characters long"};
    }
    // The key read or written is the file's path and SECTION joined, so the
    // root is checked there: '$HKEY_CURRENT_USER' with SECTION Software is
    // the key HKEY_CURRENT_USER\Software.
    if (isRegistryFile(options.file)) checkRegistryRoot(options.file.substr(1) + "\\" + s.section);
    return s;
}

// A failure of the registry store itself during this command (recorded by
// the registry functions; ProfileValue and RegistryKey cannot pass it on):
// reported as such, never as an absent value. The status, or nothing when
// the store answered.
std::optional<int> storeUnreached(const std::string& subject, std::ostream& err) {
    const win32::RegistryStoreFailure failure = win32::lastRegistryStoreFailure();
    if (failure.code == ERROR_SUCCESS) return std::nullopt;
    err << "ecran-config: cannot reach the registry store '" << failure.path << "' for " << subject << ": "
        << failure.what << " (error " << failure.code << ")\n";
    return kExitStore;
}

// What ProfileValue reads with an empty default: empty text when the store
// holds nothing for the key (no key, or an empty value).
std::string readStored(const Options& options, const Setting& s) {
    return profile::ProfileValue(s.section, s.key, "", options.file, profile::kReadMode);
}

// A ProfileValue call that writes. A write waits for the file's lock only
// briefly (the display writes on its GUI thread); a tool can afford to wait
// longer, so a write that found the lock held is made again for a while.
std::string writingProfileValue(const Options& options, const Setting& s, const std::string& value,
                                std::int16_t mode) {
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
        std::string result = profile::ProfileValue(s.section, s.key, value, options.file, mode);
        if (isRegistryFile(options.file) || errors::lastError().isClear() ||
            GetLastError() != ERROR_SHARING_VIOLATION || std::chrono::steady_clock::now() >= deadline)
            return result;
        std::this_thread::sleep_for(50ms);
    }
}

int commandGet(const Options& options, std::ostream& out, std::ostream& err) {
    if (options.positional.size() != 3) throw UsageError{"get needs SECTION and KEY"};
    const Setting s = settingArguments(options, options.positional[1], options.positional[2]);
    const std::string stored = readStored(options, s);
    if (!stored.empty()) {
        out << text::toUtf8(stored) << '\n';
        return kExitOk;
    }
    if (const auto status = storeUnreached(describe(options.file, s.section, s.key), err)) return *status;
    if (options.fallback) {
        out << text::toUtf8(*options.fallback) << '\n';
        return kExitOk;
    }
    err << "ecran-config: nothing stored for " << describe(options.file, s.section, s.key) << '\n';
    return kExitFailure;
}

int commandSet(const Options& options, std::ostream& out, std::ostream& err) {
    (void)out;
    if (options.positional.size() != 4) throw UsageError{"set needs SECTION, KEY and VALUE"};
    const Setting s = settingArguments(options, options.positional[1], options.positional[2]);
    const std::string value = toProgramText(options.positional[3], "VALUE");

    (void)writingProfileValue(options, s, value, profile::kWriteMode);

    // ProfileValue reports no failure: read the setting back to know.
    std::string expected = value;
    if (!isRegistryFile(options.file) && expected.size() > kMaxIniValueLength) {
        expected.resize(kMaxIniValueLength);
        err << "ecran-config: note: the value is longer than " << kMaxIniValueLength
            << " characters; the display reads only the first " << kMaxIniValueLength << "\n";
    }
    const std::string stored = readStored(options, s);
    if (stored == expected) return kExitOk;
    if (const auto status = storeUnreached(describe(options.file, s.section, s.key), err)) return *status;
    err << "ecran-config: could not store " << describe(options.file, s.section, s.key) << ": it reads back as "
        << (stored.empty() ? std::string("nothing") : quoted(stored)) << '\n';
    return kExitFailure;
}

int commandSeed(const Options& options, std::ostream& out, std::ostream& err) {
    if (options.positional.size() != 4) throw UsageError{"seed needs SECTION, KEY and DEFAULT"};
    const Setting s = settingArguments(options, options.positional[1], options.positional[2]);
    const std::string fallback = toProgramText(options.positional[3], "DEFAULT");

    const std::string result = writingProfileValue(options, s, fallback, profile::kReadAndSeedMode);
    // A stored value that could not be read looks like none and is seeded
    // over: the store's failure is what to report then.
    if (const auto status = storeUnreached(describe(options.file, s.section, s.key), err)) return *status;
    if (!fallback.empty() && readStored(options, s).empty()) {
        err << "ecran-config: could not store the default in " << describe(options.file, s.section, s.key);
        if (!isRegistryFile(options.file) && fallback.size() > kMaxIniValueLength) {
            err << " (a default longer than " << kMaxIniValueLength << " characters is never stored in an INI file)";
        }
        err << '\n';
        return kExitFailure;
    }
    out << text::toUtf8(result) << '\n';
    return kExitOk;
}

std::string recordedError() {
    const errors::ErrorRecord& e = errors::lastError();
    return e.description + " (error " + std::to_string(e.number) + ")";
}

int commandList(const Options& options, std::ostream& out, std::ostream& err) {
    if (options.positional.size() != 2) throw UsageError{"list needs KEYPATH"};
    if (options.fileGiven || options.fallback) throw UsageError{"list takes no --file or --default"};
    std::string keyPath = toProgramText(options.positional[1], "KEYPATH");
    // Accept the "$" of a registry file name too.
    if (keyPath.starts_with('$')) keyPath.erase(0, 1);
    checkRegistryRoot(keyPath);
    const registry::KeyPath path = registry::splitKeyPath(keyPath);

    registry::RegistryKey key;
    key.OpenKey(path.root, path.subKey, KEY_READ);
    if (const auto status = storeUnreached("registry key " + quoted(keyPath), err)) return *status;
    if (key.handle() == nullptr) {
        err << "ecran-config: cannot open registry key " << quoted(keyPath) << " (missing, or not readable)\n";
        return kExitFailure;
    }

    const std::optional<registry::NameList> valueNames = key.SubValueNames();
    if (!valueNames) {
        err << "ecran-config: cannot list the values of registry key " << quoted(keyPath) << ": " << recordedError()
            << '\n';
        return kExitFailure;
    }
    const std::optional<registry::NameList> subKeyNames = key.SubKeyNames();
    if (!subKeyNames) {
        err << "ecran-config: cannot list the sub keys of registry key " << quoted(keyPath) << ": "
            << recordedError() << '\n';
        return kExitFailure;
    }

    std::string listing;
    for (const std::string& name : *valueNames) {
        listing += (name.empty() ? std::string("(default)") : text::toUtf8(name)) + " = " +
                   text::toUtf8(key.value(name)) + '\n';
    }
    if (const auto status = storeUnreached("registry key " + quoted(keyPath), err)) return *status;
    out << listing;
    for (const std::string& name : *subKeyNames) out << text::toUtf8(name) << "\\\n";
    return kExitOk;
}

struct Command {
    const char* name;
    int (*run)(const Options&, std::ostream&, std::ostream&);
};
constexpr Command kCommands[] = {
    {"get", commandGet}, {"set", commandSet}, {"seed", commandSeed}, {"list", commandList}};

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        const Options options = parse(args);
        if (options.help) {
            out << kUsage;
            return kExitOk;
        }
        if (options.positional.empty()) throw UsageError{"no command given"};
        const std::string& command = options.positional[0];
        if (command != "get" && options.fallback) throw UsageError{"--default applies to get only"};
        const auto found = std::find_if(std::begin(kCommands), std::end(kCommands),
                                        [&](const Command& c) { return command == c.name; });
        if (found == std::end(kCommands)) throw UsageError{"unknown command '" + command + "'"};
        // The registry store and a file name without a folder live in the
        // configuration directory: without one there is nowhere to look.
        const bool inConfigDirectory =
            command == "list" || isRegistryFile(options.file) || options.file.find('/') == std::string::npos;
        if (inConfigDirectory && win32::configDirectory().empty()) {
            err << "ecran-config: " << win32::noConfigDirectoryReason() << '\n';
            return kExitFailure;
        }
        win32::clearRegistryStoreFailure();
        return found->run(options, out, err);
    } catch (const UsageError& e) {
        err << "ecran-config: " << e.message << "\nTry 'ecran-config --help'.\n";
        return kExitUsage;
    }
}

}  // namespace ecran::config_tool
