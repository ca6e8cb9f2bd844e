// Files and environment in memory, for the tests of the settings and the configuration file.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/files.hpp"
#include "config/settings.hpp"

namespace emberscope::testing {

class FakeConfigFiles final : public config::Files {
public:
    /// Regular files and their bytes.
    std::map<std::string, std::string, std::less<>> contents;
    /// Paths that are something else (folders, FIFOs, devices).
    std::map<std::string, config::FileKind, std::less<>> kinds;
    /// Paths whose opening fails with this reason.
    std::map<std::string, std::string, std::less<>> open_errors;
    /// Folders made, in order; make_folders fails with `folder_error` when it is set.
    std::vector<std::string> made;
    std::optional<std::string> folder_error;
    std::optional<std::string> home;

    config::FileKind kind(std::string_view path) override {
        if (contents.contains(path)) return config::FileKind::regular;
        if (auto it = kinds.find(path); it != kinds.end()) return it->second;
        return config::FileKind::missing;
    }

    config::FileBytes read_regular(std::string_view path, std::size_t limit) override {
        config::FileBytes out;
        if (auto it = open_errors.find(path); it != open_errors.end()) {
            out.outcome = config::FileBytes::Outcome::cannot_open;
            out.reason = it->second;
        } else if (auto c = contents.find(path); c != contents.end()) {
            out.bytes = c->second.substr(0, limit);
        } else if (auto k = kinds.find(path); k != kinds.end()) {
            out.outcome = config::FileBytes::Outcome::not_regular;
            out.kind = k->second;
        } else {
            out.outcome = config::FileBytes::Outcome::cannot_open;
            out.reason = "No such file or directory";
        }
        return out;
    }

    std::optional<std::string> make_folders(std::string_view path) override {
        if (folder_error) return folder_error;
        made.emplace_back(path);
        kinds[std::string(path)] = config::FileKind::directory;
        return std::nullopt;
    }

    std::optional<std::string> password_home() override { return home; }
};

/// An environment of the given variables only.
inline config::Environment environment_of(const std::map<std::string, std::string, std::less<>>& variables) {
    return [variables](std::string_view name) -> std::optional<std::string> {
        if (auto it = variables.find(name); it != variables.end()) return it->second;
        return std::nullopt;
    };
}

}  // namespace emberscope::testing
