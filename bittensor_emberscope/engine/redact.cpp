// Console hygiene of the engine.
#include "engine/redact.hpp"

namespace emberscope::engine {

std::string mask_secrets(std::string_view text, const std::vector<std::string>& secrets) {
    std::string out(text);
    for (const std::string& secret : secrets) {
        if (secret.size() < kMinSecretLength) continue;
        std::string next;
        std::size_t from = 0;
        for (std::size_t at; (at = out.find(secret, from)) != std::string::npos;
             from = at + secret.size()) {
            next.append(out, from, at - from);
            next += kSecretMask;
        }
        next.append(out, from, std::string::npos);
        out = std::move(next);
    }
    return out;
}

std::string one_line(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

}  // namespace emberscope::engine
