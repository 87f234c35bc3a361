#pragma once
// A tool's command line, word by word: options ("--name", "--name=VALUE" or
// "--name VALUE"), "--" that ends them, and operands. What the options mean,
// and what a missing value is called, is the tool's own.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ecran::cli {

class CommandLine {
public:
    // How a word of one dash ("-x", "-5") is read when it is not one of the
    // tool's short options: as an option (which the tool then calls unknown)
    // or as an operand (a value such as "-5").
    enum class OtherShortWords { AreOptions, AreOperands };

    CommandLine(std::vector<std::string> words, std::vector<std::string> shortOptions, OtherShortWords others);

    // Moves to the next word, past the first "--"; false when none is left.
    [[nodiscard]] bool next();
    [[nodiscard]] const std::string& word() const { return words_[at_]; }

    // The word is an option: it begins with "-", is not "-" alone, and comes
    // before "--".
    [[nodiscard]] bool isOption() const;

    // The word is `name` or "`name`=VALUE".
    [[nodiscard]] bool names(std::string_view name) const;

    // The value of the option `name` (see names()): the text after "=", or
    // the next word, which it takes; nothing when no word is left.
    [[nodiscard]] std::optional<std::string> value(std::string_view name);

private:
    std::vector<std::string> words_;
    std::vector<std::string> shortOptions_;
    OtherShortWords others_;
    std::size_t at_ = 0;
    bool started_ = false;
    bool optionsEnded_ = false;
};

}  // namespace ecran::cli
