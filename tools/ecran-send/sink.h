#pragma once
// Where ecran-send's messages go: one UDP datagram each, or one MQTT publish
// each. The bytes are the same either way.

#include <string_view>

namespace ecran::sender {

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Delivers one message, whole, or throws SendError.
    virtual void send(std::string_view message) = 0;
};

}  // namespace ecran::sender
