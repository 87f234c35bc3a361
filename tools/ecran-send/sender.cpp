#include "ecran-send/sender.h"

#include <cstring>
#include <fstream>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>

#include "ecran-send/datagram.h"
#include "ecran-send/errors.h"
#include "ecran-send/mqtt_sender.h"
#include "ecran-send/options.h"
#include "ecran-send/udp_sender.h"
#include "errors/error.h"
#include "profile/settings_file.h"
#include "text/colour_text.h"
#include "text/leading_number.h"

#ifndef ECRAN_VERSION
#define ECRAN_VERSION "unknown"
#endif

namespace ecran::sender {
namespace {

constexpr const char* kProgram = "ecran-send";

// The most UTF-8 a message can take before its Windows-1252 form overflows a
// datagram: three bytes a character (the euro sign and its kin), a
// byte-order mark and a line break. Reading stops there, so an endless input
// cannot fill memory.
constexpr std::size_t kMaxInputBytes = 3 * kMaxDatagram + 3 + 2;

// The port the display listens on, from its settings file.
std::uint16_t portFromSettings(Environment& env) {
    const std::string file = env.settingsFile ? env.settingsFile() : std::string(profile::kSettingsFile);
    const std::string text = env.storedPortText();
    std::int32_t port = 0;
    try {
        port = text::LeadingNumber(text);
    } catch (const errors::Error&) {
        throw UsageError("the port setting '" + text + "' in " + file + " is out of range: give the port with --port");
    }
    if (port == 0) {
        throw UsageError("the display's port setting in " + file +
                         " is 0 or missing, so the display listens on a port of the system's choosing: "
                         "give the port with --port");
    }
    if (port < 1 || port > 65535) {
        throw UsageError("the port setting '" + text + "' in " + file +
                         " is not a port from 1 to 65535: give the port with --port");
    }
    return static_cast<std::uint16_t>(port);
}

std::string dropLineEnd(std::string s) {
    if (!s.empty() && s.back() == '\n') {
        s.pop_back();
        if (!s.empty() && s.back() == '\r') s.pop_back();
    }
    return s;
}

std::string dropByteOrderMark(std::string s) {
    if (s.compare(0, 3, "\xEF\xBB\xBF") == 0) s.erase(0, 3);
    return s;
}

// All of the input, bounded.
std::string readAll(std::istream& in) {
    std::string s;
    char buffer[8192];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        s.append(buffer, static_cast<size_t>(in.gcount()));
        if (s.size() > kMaxInputBytes) {
            throw UsageError("standard input holds more than one datagram can carry (" +
                             std::to_string(kMaxDatagram) + " bytes)");
        }
    }
    return s;
}

// The next line of the input with its line break, bounded; nothing at the end.
std::optional<std::string> readLine(std::istream& in, std::size_t lineNumber) {
    std::string line;
    std::streambuf* buf = in.rdbuf();
    for (;;) {
        const int c = buf->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            if (line.empty()) return std::nullopt;
            return line;
        }
        line += static_cast<char>(c);
        if (c == '\n') return line;
        if (line.size() > kMaxInputBytes) {
            throw UsageError("line " + std::to_string(lineNumber) + " is longer than one datagram can carry (" +
                             std::to_string(kMaxDatagram) + " bytes)");
        }
    }
}

void warn(Environment& env, const std::string& context, std::string_view datagram) {
    for (const auto& w : datagramWarnings(datagram)) env.err << kProgram << ": warning: " << context << w << '\n';
}

int sendLines(const Options& o, MessageSink& sender, Environment& env) {
    std::size_t number = 0;
    while (auto line = readLine(env.in, number + 1)) {
        ++number;
        std::string text = dropLineEnd(std::move(*line));
        if (number == 1) text = dropByteOrderMark(std::move(text));
        const std::string context = "line " + std::to_string(number) + ": ";
        std::string datagram;
        try {
            datagram = textDatagram(o.kind, text, o.replace);
        } catch (const UsageError& e) {
            throw UsageError(context + e.what());
        }
        warn(env, context, datagram);
        sender.send(datagram);
    }
    return kExitSent;
}

// The first line of the password file, without its line break.
std::string readPassword(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    if (!in || (!std::getline(in, line) && !in.eof())) {
        throw UsageError("cannot read the password file " + file + ": " + std::strerror(errno));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Where the messages go: the display's UDP port, or the broker. Either way
// the connection is made here, before any text is read, so that a stream
// such as `tail -f` learns of a bad host or broker at once.
std::unique_ptr<MessageSink> openSink(const Options& o, Environment& env) {
    if (!o.broker) {
        const std::uint16_t port = o.port ? *o.port : portFromSettings(env);
        const std::string host = o.host ? *o.host : (o.broadcast ? "255.255.255.255" : "127.0.0.1");
        return std::make_unique<UdpSender>(host, port, o.broadcast);
    }
    BrokerLogin login{o.username, std::nullopt, o.caFile};
    if (o.passwordFile) login.password = readPassword(*o.passwordFile);
    if (o.caFile && !std::ifstream(*o.caFile)) {
        throw UsageError("cannot read the CA file " + *o.caFile + ": " + std::strerror(errno));
    }
    return std::make_unique<MqttSender>(parseBrokerUrl(*o.broker), login, o.prefix + "/" + o.target + "/message",
                                        env.brokerTimeout, [&env](const std::string& note) {
                                            env.err << kProgram << ": warning: " << note << '\n';
                                        });
}

int runChecked(const std::vector<std::string>& args, Environment& env) {
    const Options o = parseArguments(args);
    if (o.help) {
        env.out << helpText();
        return kExitSent;
    }
    if (o.version) {
        env.out << kProgram << ' ' << ECRAN_VERSION << '\n';
        return kExitSent;
    }

    if (o.lines) {
        const auto sink = openSink(o, env);
        return sendLines(o, *sink, env);
    }

    std::string datagram;
    if (o.kind == Kind::Colour) {
        const text::ColourReading reading = text::readColour(o.colour);
        if (!reading.colour) throw UsageError(reading.error);
        if (auto note = text::colourNote(*reading.colour); !note.empty()) {
            env.err << kProgram << ": warning: " << note << '\n';
        }
        datagram = colourDatagram(*reading.colour);
    } else {
        const std::string text = o.fromStdin ? dropByteOrderMark(dropLineEnd(readAll(env.in))) : *o.message;
        datagram = textDatagram(o.kind, text, o.replace);
        warn(env, "", datagram);
    }
    openSink(o, env)->send(datagram);
    return kExitSent;
}

}  // namespace

int run(const std::vector<std::string>& args, Environment& env) {
    try {
        return runChecked(args, env);
    } catch (const ArgumentError& e) {
        env.err << kProgram << ": " << e.what() << '\n';
        env.err << "Try '" << kProgram << " --help' for more information.\n";
        return kExitUsage;
    } catch (const UsageError& e) {
        env.err << kProgram << ": " << e.what() << '\n';
        return kExitUsage;
    } catch (const SendError& e) {
        env.err << kProgram << ": " << e.what() << '\n';
        return kExitSendFailure;
    }
}

}  // namespace ecran::sender
