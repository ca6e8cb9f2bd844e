// Names of the temporary files a state save writes beside the state file.
#include "common/temp_names.hpp"

#include <cctype>

namespace emberscope::temp_names {
namespace {

constexpr std::size_t kTokenLength = 16;

std::string prefix(std::string_view base) {
    return "." + (base.size() <= kMaxBase ? std::string(base) + "." : std::string());
}

bool all_of(std::string_view text, int (*test)(int)) {
    for (char c : text)
        if (!test(static_cast<unsigned char>(c))) return false;
    return !text.empty();
}

int is_lower_hex(int c) { return std::isdigit(c) || (c >= 'a' && c <= 'f'); }

}  // namespace

std::string make(std::string_view base, std::int64_t pid, std::string_view token) {
    return prefix(base) + std::to_string(pid) + "." + std::string(token) + ".tmp";
}

std::optional<std::int64_t> writer(std::string_view name, std::string_view base) {
    const std::string head = prefix(base);
    constexpr std::string_view tail = ".tmp";
    if (name.size() < head.size() + tail.size() || name.substr(0, head.size()) != head ||
        name.substr(name.size() - tail.size()) != tail)
        return std::nullopt;
    std::string_view middle = name.substr(head.size(), name.size() - head.size() - tail.size());
    const std::size_t dot = middle.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    std::string_view pid = middle.substr(0, dot);
    std::string_view token = middle.substr(dot + 1);
    if (pid.size() > 18 || !all_of(pid, [](int c) { return std::isdigit(c); }) ||
        token.size() != kTokenLength || !all_of(token, is_lower_hex))
        return std::nullopt;
    return std::stoll(std::string(pid));
}

}  // namespace emberscope::temp_names
