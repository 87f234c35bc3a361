#pragma once
// The two kinds of failure of the sender, which end it with different exit
// codes.

#include <stdexcept>
#include <string>

namespace ecran::sender {

inline constexpr int kExitSent = 0;
inline constexpr int kExitSendFailure = 1;  // the datagram could not leave, or the broker did not take the message
inline constexpr int kExitUsage = 2;        // bad arguments, or text the display cannot receive

// A mistake in the arguments or in the text to send: nothing is sent.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A mistake in the command line itself: the message says how to get help.
class ArgumentError : public UsageError {
public:
    using UsageError::UsageError;
};

// Resolving the host or sending the datagram failed; or the broker could
// not be reached, refused the login or the message, or did not answer.
class SendError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace ecran::sender
