#include "errors/error.h"

#include <utility>

namespace ecran::errors {

Error::Error(std::int32_t number, std::string source, std::string description)
    : std::runtime_error(source + ": " + description + " (" + std::to_string(number) + ")"),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

Error overflowError() { return Error(kOverflow, kProgramSource, "Overflow"); }

void ErrorRecord::clear() {
    number = 0;
    source.clear();
    description.clear();
}

void ErrorRecord::record(const Error& e) {
    number = e.number();
    source = e.source();
    description = e.description();
}

ErrorRecord& lastError() noexcept {
    static ErrorRecord record;
    return record;
}

ContinueOnError::ContinueOnError() { lastError().clear(); }

}  // namespace ecran::errors
