#pragma once
// What a failing operation raises, the program-wide last-error record, and
// continue-on-error steps.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace ecran::errors {

// Error numbers the program raises of its own (registry failures carry the
// registry function's code unchanged instead).
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kInvalidPropertyValue = 380;

// A failure: number, source (class and operation, "RegistryKey.CloseKey")
// and description. Thrown; caught by continue-on-error steps or the caller.
class Error : public std::runtime_error {
public:
    Error(std::int32_t number, std::string source, std::string description);

    [[nodiscard]] std::int32_t number() const noexcept { return number_; }
    [[nodiscard]] const std::string& source() const noexcept { return source_; }
    [[nodiscard]] const std::string& description() const noexcept { return description_; }

private:
    std::int32_t number_;
    std::string source_;
    std::string description_;
};

// The source given to errors the program raises outside any class, such as
// an overflow while reading a number.
inline constexpr const char* kProgramSource = "ecran";

// The overflow error (number 6, "Overflow").
[[nodiscard]] Error overflowError();

// The program-wide record of the most recent error written by code that runs
// in continue-on-error mode. Number 0 and empty texts when clear.
struct ErrorRecord {
    std::int32_t number = 0;
    std::string source;
    std::string description;

    void clear();
    void record(const Error& e);
    [[nodiscard]] bool isClear() const noexcept { return number == 0 && source.empty() && description.empty(); }
};

// The one record of the program (a single GUI thread uses it).
[[nodiscard]] ErrorRecord& lastError() noexcept;

// Continue-on-error mode for one operation: constructing it clears the
// last-error record; each step runs so that an Error (or an overflow or
// out-of-range failure of the standard library) thrown inside it is written
// into the record, the rest of that step is skipped, and the caller goes on
// with its next step. The operation itself never fails towards its caller.
class ContinueOnError {
public:
    ContinueOnError();

    // Runs one step; returns false when the step failed (and was recorded).
    template <typename Step>
    bool step(Step&& s) noexcept {
        try {
            s();
            return true;
        } catch (const Error& e) {
            lastError().record(e);
        } catch (const std::overflow_error&) {
            lastError().record(overflowError());
        } catch (const std::out_of_range&) {
            lastError().record(overflowError());
        } catch (const std::bad_alloc&) {
            lastError().record(Error(7, kProgramSource, "Out of memory"));
        }
        return false;
    }
};

}  // namespace ecran::errors
