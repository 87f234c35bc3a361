// What comes from the broker and what goes back to it: any topic and payload
// give a datagram the display takes or a refusal with a reason, never a
// crash; every state document and JSON string is valid JSON that reads back
// as the texts it was made of; discovery configs are valid JSON objects.

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fleet/fleet_payload.h"
#include "fuzz_support.h"
#include "text/colour_text.h"
#include "text/cp1252.h"
#include "text/leading_number.h"

namespace {

using namespace ecran::fleet;
namespace text = ecran::text;

QJsonObject parsedObject(const std::string& json) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError);
    FUZZ_CHECK(doc.isObject());
    return doc.object();
}

// What a JSON reader makes of a Windows-1252 text the state carries.
QString shown(const std::string& cp1252) { return QString::fromStdString(text::toUtf8(cp1252)); }

void checkCommand(Command command, const std::string& payload) {
    const CommandDatagram result = datagramFor(command, payload);
    if (!result.datagram) {
        FUZZ_CHECK(!result.note.empty());  // a refusal always says why
        return;
    }
    const std::string& d = *result.datagram;
    FUZZ_CHECK(d.size() <= kMaxPayload + 2);
    switch (command) {
    case Command::Message:
        FUZZ_CHECK(d == payload);
        break;
    case Command::Text:
        FUZZ_CHECK(d.empty() || d[0] != '\xFF');  // shown, never taken for a command
        break;
    case Command::Ticker:
        FUZZ_CHECK(d.substr(0, 2) == "\xFF" "1");
        break;
    case Command::Colour:
        FUZZ_CHECK(d.substr(0, 2) == "\xFF" "2");
        FUZZ_CHECK(text::isDisplayColour(text::LeadingNumber(d.substr(2))));
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ecran::fuzz::InputReader in(data, size);
    const auto command = static_cast<Command>(in.byte() % 4);
    const TopicScheme scheme{"ecran", "hall-1", {"rdc", "b.2"}};

    // A topic is a command of this screen exactly when it is one of those
    // the screen subscribes to.
    const std::string topic = in.shortText();
    const auto topics = commandTopics(scheme);
    const bool subscribed = std::find(topics.begin(), topics.end(), topic) != topics.end();
    FUZZ_CHECK(commandOf(scheme, topic).has_value() == subscribed);

    const std::string utf8 = in.shortText();
    const std::string ticker = in.shortText();
    const std::uint32_t rgb = static_cast<std::uint32_t>(in.word()) << 8 | in.byte();
    const std::string payload = in.rest();
    checkCommand(command, payload);

    // Any bytes make one valid JSON string; well-formed UTF-8 reads back.
    const std::string literal = jsonString(utf8);
    const QJsonObject wrapped = parsedObject("{\"s\":" + literal + "}");
    const QString utf8Text = QString::fromUtf8(QByteArray::fromStdString(utf8));
    if (utf8Text.toUtf8().toStdString() == utf8) FUZZ_CHECK(wrapped.value("s").toString() == utf8Text);

    // The state reads back as what the screen shows.
    ScreenState state{payload.substr(0, 600), ticker, rgb & 0xFFFFFF,
                      std::chrono::system_clock::time_point(std::chrono::milliseconds(rgb)), utf8, "0.2.0", {}, {}, {}};
    const QJsonObject parsed = parsedObject(stateJson(state));
    FUZZ_CHECK(parsed.value("text").toString() == shown(state.text));
    FUZZ_CHECK(parsed.value("ticker").toString() == shown(state.ticker));
    FUZZ_CHECK(parsed.value("color").toString().size() == 7);

    // Discovery configs stay JSON whatever the names hold.
    const TopicScheme named{"ecran", utf8.empty() ? "x" : utf8, {}};
    for (const DiscoveryConfig& config : discoveryConfigs(named, "homeassistant", "0.2.0", true)) {
        (void)parsedObject(config.payload);
    }
    return 0;
}
