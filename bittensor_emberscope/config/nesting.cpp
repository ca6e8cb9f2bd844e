// The nesting bound of a TOML text.
#include "config/nesting.hpp"

#include <vector>

namespace emberscope::config {
namespace {

class Scanner {
public:
    Scanner(std::string_view text, std::size_t max_depth) : text_(text), max_(max_depth) {}

    std::optional<NestingFault> run() {
        while (pos_ < text_.size() && !fault_) step();
        return fault_;
    }

private:
    void step() {
        const char c = text_[pos_];
        if (c == '\n') {
            new_line(pos_ + 1);
            ++pos_;
            if (open_.empty()) start_statement();
            return;
        }
        if (c == '#') return skip_comment();
        if (c == '"' || c == '\'') return skip_string(c);
        if (c == ' ' || c == '\t' || c == '\r') {
            ++pos_;
            return;
        }
        const bool first = statement_blank_;
        statement_blank_ = false;
        if (c == '[' && first && open_.empty()) return header();
        if (c == '[' || c == '{') {
            open_.push_back(c);
            in_key_ = c == '{';
            check();
        } else if (c == ']' || c == '}') {
            if (!open_.empty()) open_.pop_back();
        } else if (c == ',') {
            in_key_ = !open_.empty() && open_.back() == '{';
        } else if (c == '=') {
            in_key_ = false;
        } else if (c == '.' && in_key_) {
            ++key_depth_;
            check();
        }
        ++pos_;
    }

    // "[a.b]" or "[[a.b]]": its parts are the levels every key below it starts from.
    void header() {
        header_depth_ = 1;
        key_depth_ = 0;
        ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '[') {
            ++header_depth_;
            ++pos_;
        }
        check();
        while (pos_ < text_.size() && !fault_) {
            const char c = text_[pos_];
            if (c == ']' || c == '\n' || c == '#') return;  // the rest of the line as usual
            if (c == '"' || c == '\'') {
                skip_string(c);
                continue;
            }
            if (c == '.') {
                ++header_depth_;
                check();
            }
            ++pos_;
        }
    }

    void skip_comment() {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
    }

    // A string, a quoted key included; a multi-line one may hold line ends.
    void skip_string(char quote) {
        statement_blank_ = false;
        const std::string_view three(quote == '"' ? R"(""")" : "'''");
        const bool triple = text_.substr(pos_, 3) == three;
        pos_ += triple ? 3 : 1;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '\\' && quote == '"') {
                if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n') {
                    if (!triple) return;
                    new_line(pos_ + 2);
                }
                pos_ += 2;
                continue;
            }
            if (c == '\n') {
                if (!triple) return;  // unterminated: the parser says so
                new_line(pos_ + 1);
            }
            if (c == quote && (!triple || text_.substr(pos_, 3) == three)) {
                pos_ += triple ? 3 : 1;
                // """a "quoted" word"""": up to two quotes before the closing three are content.
                for (int extra = 0; triple && extra < 2 && pos_ < text_.size() && text_[pos_] == quote; ++extra)
                    ++pos_;
                return;
            }
            ++pos_;
        }
    }

    void start_statement() {
        in_key_ = true;
        key_depth_ = 0;
        statement_blank_ = true;
    }

    void new_line(std::size_t start) {
        ++line_;
        line_start_ = start;
    }

    void check() {
        if (header_depth_ + key_depth_ + open_.size() > max_)
            fault_ = NestingFault{line_, pos_ - line_start_ + 1};
    }

    std::string_view text_;
    std::size_t max_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
    std::size_t line_start_ = 0;
    std::vector<char> open_;        // the arrays and inline tables open here
    std::size_t header_depth_ = 0;  // levels of the last table header
    std::size_t key_depth_ = 0;     // dots seen in the keys of this statement
    bool in_key_ = true;
    bool statement_blank_ = true;
    std::optional<NestingFault> fault_;
};

}  // namespace

std::optional<NestingFault> find_deep_nesting(std::string_view text, std::size_t max_depth) {
    return Scanner(text, max_depth).run();
}

}  // namespace emberscope::config
