#include "console/console_command.h"

#include <ostream>

#include "console/console_store.h"

namespace ecran::console {

const char* usage() {
    return "usage: ecran-console [--config FILE] serve\n"
           "       ecran-console [--config FILE] token add NAME | token list | token revoke NAME\n"
           "       ecran-console -h | --help | --version\n"
           "\n"
           "One web page and one JSON API for a whole fleet of ecran screens. The\n"
           "console joins the fleet's MQTT broker, keeps a live model of every screen\n"
           "from their retained status and state, and sends messages to a screen, a\n"
           "group or all of them.\n"
           "\n"
           "  serve               run the service (the page is at http://127.0.0.1:8470/)\n"
           "  token add NAME      print a new token, alone on stdout; only its hash is kept\n"
           "  token list          the tokens: name, created, last used\n"
           "  token revoke NAME   revoke a token; its sessions end at once\n"
           "\n"
           "Settings, in FILE (default $XDG_CONFIG_HOME/ecran/console.ini, ~/.config/ecran/):\n"
           "  [mqtt]    broker, prefix, username, password, ca: as the screens read them\n"
           "  [http]    listen = ADDRESS:PORT (default 127.0.0.1:8470; port 0 lets the\n"
           "            system choose), cert and key (PEM files: HTTPS only), insecure = yes\n"
           "            (plain HTTP on an address that is not loopback)\n"
           "  [console] data = the folder of the database (default\n"
           "            $XDG_DATA_HOME/ecran-console, ~/.local/share/ecran-console)\n"
           "A value that cannot be used stops the start with status 1.\n"
           "Exit status: 0 done, 1 failure (settings, database, network), 2 usage.\n";
}

std::optional<Arguments> parseArguments(const std::vector<std::string>& in, std::string& error) {
    Arguments a;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const std::string& arg = in[i];
        if (arg == "-h" || arg == "--help") {
            a.action = Arguments::Action::Help;
            return a;
        }
        if (arg == "--version") {
            a.action = Arguments::Action::Version;
            return a;
        }
        if (arg == "--config" || arg.rfind("--config=", 0) == 0) {
            if (arg == "--config" && i + 1 >= in.size()) {
                error = "--config needs a FILE";
                return std::nullopt;
            }
            a.config = arg == "--config" ? in[++i] : arg.substr(9);
            if (a.config.empty()) {
                error = "--config needs a FILE";
                return std::nullopt;
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return std::nullopt;
        }
        rest.push_back(arg);
    }
    if (rest.size() == 1 && rest[0] == "serve") {
        a.action = Arguments::Action::Serve;
    } else if (rest.size() == 2 && rest[0] == "token" && rest[1] == "list") {
        a.action = Arguments::Action::TokenList;
    } else if (rest.size() == 3 && rest[0] == "token" && (rest[1] == "add" || rest[1] == "revoke")) {
        a.action = rest[1] == "add" ? Arguments::Action::TokenAdd : Arguments::Action::TokenRevoke;
        a.name = rest[2];
        if (!isTokenName(a.name)) {
            error = "the token name \"" + a.name + "\" may hold only letters, digits, \"-\", \"_\", \".\" and \"@\" (1 to 64)";
            return std::nullopt;
        }
    } else {
        error = rest.empty() ? "say what to do: serve, token add NAME, token list or token revoke NAME"
                             : "unknown command: " + rest[0] + (rest.size() > 1 ? " " + rest[1] : "");
        return std::nullopt;
    }
    return a;
}

int runTokenCommand(const Arguments& args, const std::string& dataFolder, std::ostream& out, std::ostream& err) {
    try {
        ConsoleStore store(dataFolder);
        switch (args.action) {
            case Arguments::Action::TokenAdd:
                out << store.addToken(args.name) << "\n";
                err << "ecran-console: token \"" << args.name << "\" added; it is shown this once\n";
                return kExitOk;
            case Arguments::Action::TokenList:
                for (const auto& t : store.tokens()) {
                    out << t.name << "\t" << t.created << "\t" << t.lastUsed.value_or("never") << "\n";
                }
                return kExitOk;
            case Arguments::Action::TokenRevoke:
                if (!store.revokeToken(args.name)) {
                    err << "ecran-console: no token named \"" << args.name << "\" in " << store.file() << "\n";
                    return kExitFailure;
                }
                err << "ecran-console: token \"" << args.name << "\" revoked\n";
                return kExitOk;
            default:
                return kExitUsage;
        }
    } catch (const StoreError& e) {
        err << "ecran-console: " << e.what() << "\n";
        return kExitFailure;
    }
}

}  // namespace ecran::console
