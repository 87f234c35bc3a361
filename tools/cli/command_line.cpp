#include "cli/command_line.h"

#include <algorithm>
#include <utility>

namespace ecran::cli {

CommandLine::CommandLine(std::vector<std::string> words, std::vector<std::string> shortOptions, OtherShortWords others)
    : words_(std::move(words)), shortOptions_(std::move(shortOptions)), others_(others) {}

bool CommandLine::next() {
    at_ = started_ ? at_ + 1 : 0;
    started_ = true;
    if (!optionsEnded_ && at_ < words_.size() && words_[at_] == "--") {
        optionsEnded_ = true;
        ++at_;
    }
    return at_ < words_.size();
}

bool CommandLine::isOption() const {
    const std::string& w = word();
    if (optionsEnded_ || w.size() < 2 || w[0] != '-') return false;
    if (w[1] == '-') return true;
    return others_ == OtherShortWords::AreOptions ||
           std::find(shortOptions_.begin(), shortOptions_.end(), w) != shortOptions_.end();
}

bool CommandLine::names(std::string_view name) const {
    const std::string_view w = word();
    return w.starts_with(name) && (w.size() == name.size() || w[name.size()] == '=');
}

std::optional<std::string> CommandLine::value(std::string_view name) {
    const std::string& w = word();
    if (w.size() > name.size()) return w.substr(name.size() + 1);
    if (at_ + 1 >= words_.size()) return std::nullopt;
    return words_[++at_];
}

}  // namespace ecran::cli
