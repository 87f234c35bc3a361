#include "ecran-send/options.h"

#include "cli/command_line.h"
#include "ecran-send/broker.h"
#include "ecran-send/errors.h"

namespace ecran::sender {
namespace {

// The value of the option `name`, which needs one.
std::string valueOf(cli::CommandLine& line, const std::string& name) {
    if (std::optional<std::string> value = line.value(name)) return *value;
    throw ArgumentError("option " + name + " needs a value");
}

}  // namespace

std::uint16_t parsePort(const std::string& text) {
    bool digits = !text.empty() && text.size() <= 5;
    for (char c : text) digits = digits && c >= '0' && c <= '9';
    const unsigned long value = digits ? std::stoul(text) : 0;
    if (!digits || value < 1 || value > 65535) {
        throw ArgumentError("port '" + text + "' is not a number from 1 to 65535");
    }
    return static_cast<std::uint16_t>(value);
}

Options parseArguments(const std::vector<std::string>& args) {
    Options o;
    bool colourGiven = false, tickerGiven = false;
    std::vector<std::string> udpOnly, brokerOnly, targets;  // options as typed, for the checks below
    cli::CommandLine line(args, {}, cli::CommandLine::OtherShortWords::AreOptions);
    while (line.next()) {
        const std::string& arg = line.word();
        if (!line.isOption()) {
            if (o.message) throw ArgumentError("give the message as one argument (put it in quotes)");
            o.message = arg;
        } else if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--ticker") {
            tickerGiven = true;
        } else if (line.names("--color") || line.names("--colour")) {
            o.colour = valueOf(line, line.names("--colour") ? "--colour" : "--color");
            colourGiven = true;
        } else if (arg == "--stdin") {
            o.fromStdin = true;
        } else if (arg == "--lines") {
            o.lines = true;
        } else if (arg == "--replace") {
            o.replace = true;
        } else if (line.names("--host")) {
            o.host = valueOf(line, "--host");
            if (o.host->empty()) throw ArgumentError("option --host needs a host name or address");
            udpOnly.push_back("--host");
        } else if (line.names("--port")) {
            o.port = parsePort(valueOf(line, "--port"));
            udpOnly.push_back("--port");
        } else if (arg == "--broadcast") {
            o.broadcast = true;
            udpOnly.push_back("--broadcast");
        } else if (line.names("--broker")) {
            o.broker = valueOf(line, "--broker");
        } else if (line.names("--screen")) {
            const std::string name = valueOf(line, "--screen");
            checkName(name, "--screen", true);
            o.target = name;
            targets.push_back("--screen");
        } else if (line.names("--group")) {
            const std::string name = valueOf(line, "--group");
            checkName(name, "--group", false);
            o.target = "group/" + name;
            targets.push_back("--group");
        } else if (arg == "--all") {
            o.target = "all";
            targets.push_back("--all");
        } else if (line.names("--prefix")) {
            o.prefix = valueOf(line, "--prefix");
            checkName(o.prefix, "--prefix", false);
            brokerOnly.push_back("--prefix");
        } else if (line.names("--username")) {
            o.username = valueOf(line, "--username");
            if (o.username->empty()) throw ArgumentError("option --username needs a user name");
            brokerOnly.push_back("--username");
        } else if (line.names("--password-file")) {
            o.passwordFile = valueOf(line, "--password-file");
            brokerOnly.push_back("--password-file");
        } else if (line.names("--ca")) {
            o.caFile = valueOf(line, "--ca");
            brokerOnly.push_back("--ca");
        } else if (line.names("--password")) {
            throw ArgumentError(
                "the password is not taken on the command line, where every user can read it: "
                "put it in the first line of a file and give --password-file FILE");
        } else {
            throw ArgumentError("unknown option '" + arg + "'");
        }
    }
    if (o.help || o.version) return o;

    if (o.broker) {
        const BrokerUrl url = parseBrokerUrl(*o.broker);
        if (!udpOnly.empty()) {
            throw ArgumentError(udpOnly.front() + " is for UDP: with --broker the message goes to the broker");
        }
        if (targets.empty()) throw ArgumentError("--broker needs a target: --screen NAME, --group NAME or --all");
        if (targets.size() > 1) throw ArgumentError("give one target: --screen, --group or --all");
        if (o.passwordFile && !o.username) throw ArgumentError("--password-file goes with --username");
        if (o.caFile && !url.tls) throw ArgumentError("--ca goes with a TLS broker, mqtts://");
    } else if (!targets.empty() || !brokerOnly.empty()) {
        throw ArgumentError((targets.empty() ? brokerOnly : targets).front() + " goes with --broker URL");
    }

    if (colourGiven && tickerGiven) throw ArgumentError("--color and --ticker send different commands: give one");
    if (colourGiven && (o.message || o.fromStdin)) {
        throw ArgumentError("--color sends a colour alone: give no message with it");
    }
    if (o.lines && !o.fromStdin) throw ArgumentError("--lines goes with --stdin");
    if (o.fromStdin && o.message) throw ArgumentError("give the message either as an argument or with --stdin");
    if (!colourGiven && !o.fromStdin && !o.message) {
        throw ArgumentError("no message: give a MESSAGE, --stdin or --color");
    }
    o.kind = colourGiven ? Kind::Colour : tickerGiven ? Kind::Ticker : Kind::Plain;
    return o;
}

std::string helpText() {
    return R"(Usage: ecran-send [OPTIONS] MESSAGE
       ecran-send [OPTIONS] --ticker TEXT
       ecran-send [OPTIONS] --color COLOUR
       ecran-send [OPTIONS] [--ticker] --stdin [--lines]
       ecran-send --broker URL (--screen NAME | --group NAME | --all) [OPTIONS] ...

Sends one message to an ecran display as one UDP datagram, or through an
MQTT broker to one screen, a group of screens or all screens.

A MESSAGE becomes the main message of the screen; --ticker TEXT replaces the
text that scrolls in the band at the top; --color sets the colour of the main
message. Text is read in UTF-8 and sent in Windows-1252, the display's code
page.

Options:
  --ticker          send the text as the ticker text, not as the main message
  --color COLOUR    set the colour of the main message (also --colour); COLOUR
                    is a CSS colour name (red, SteelBlue...), #RRGGBB, #RGB, a
                    decimal colour number 0x00BBGGRR (255 is red) or &H and
                    hexadecimal digits (&HFF is red); &H80000000 to
                    &H80000018 are the desktop's system colours 0 to 24
  --stdin           read the text from standard input: all of it is one
                    message (one final line break is dropped)
  --lines           with --stdin: send every line as its own message, as soon
                    as it is read
  --replace         send "?" for characters that Windows-1252 cannot encode
                    instead of refusing the text
  --host HOST       host name or IPv4/IPv6 address of the display
                    (default 127.0.0.1, or 255.255.255.255 with --broadcast)
  --port PORT       UDP port of the display (default: the port in the display's
                    settings file QUOLVEtavrin.ini on this machine)
  --broadcast       allow sending to a broadcast address
  -h, --help        show this help and exit
  --version         show the version and exit

Through an MQTT broker (the same bytes, published with QoS 1 to
PREFIX/NAME/message, PREFIX/group/NAME/message or PREFIX/all/message):
  --broker URL      mqtt://HOST[:PORT] (port 1883) or mqtts://HOST[:PORT]
                    (TLS, port 8883); IPv6 addresses in brackets
  --screen NAME     the screen called NAME
  --group NAME      every screen of the group NAME
  --all             every screen
  --prefix PREFIX   the displays' topic prefix (default ecran)
  --username USER   log in to the broker as USER
  --password-file FILE
                    the password is the first line of FILE (never on the
                    command line, where other users could read it)
  --ca FILE         with mqtts://: the CA certificate that signed the
                    broker's certificate (default: the system's CAs)
The broker has 10 s to accept the connection and 10 s to acknowledge each
message; ecran-send exits 0 only once every message was acknowledged.

A plain message that begins with the character )" "\xC3\xBF" R"( (byte 0xFF) is refused: the
display would read it as a command. Messages of more than 589 characters are
sent, with a warning: the display shows them whole but keeps only the first
589 characters across a restart.

Exit status:
  0  every message was sent (with --broker: acknowledged by the broker)
  1  the host could not be resolved or a datagram could not be sent; with
     --broker: no connection, login or TLS refused, a message refused, or
     no answer within 10 s
  2  bad arguments, unknown colour, or text the display cannot receive
)";
}

}  // namespace ecran::sender
