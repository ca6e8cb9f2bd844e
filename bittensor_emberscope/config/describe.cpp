// The routes as understood.
#include "config/describe.hpp"

#include <fmt/format.h>

#include "routes/flap.hpp"

namespace emberscope::config {

std::string number_text(double value) { return fmt::format("{:g}", value); }

std::vector<std::string> describe(const Config& config) {
    const std::string source = config.path.value_or("(no file: TELEGRAM_CHAT_ID and --threshold)");
    std::vector<std::string> lines;
    lines.push_back(fmt::format(
        "config {}: {} route(s), default threshold {}, {}", source, config.routes.size(),
        number_text(config.threshold),
        config.stale ? "stale-data alert after " + number_text(config.stale->after_minutes) + " min"
                     : std::string("no stale-data alert")));
    for (std::size_t i = 0; i < config.routes.size(); ++i) {
        const routes::Route& route = config.routes[i];
        std::vector<std::string> parts;
        switch (route.kind) {
            case routes::DestinationKind::discord:
                parts.push_back("discord webhook from " + (route.address_file.empty()
                                                               ? "$" + route.address_env
                                                               : route.address_file));
                break;
            case routes::DestinationKind::webhook:
                parts.push_back("webhook from " + route.address_file +
                                (route.signing_file.empty() ? ", unsigned"
                                                            : ", signed with " + route.signing_file));
                break;
            case routes::DestinationKind::telegram:
                parts.push_back("chat " + route.chat_id);
                break;
        }
        if (route.thread_id) parts.push_back(fmt::format("topic {}", *route.thread_id));
        parts.push_back(route.netuids ? fmt::format("subnets {}", fmt::join(*route.netuids, ", "))
                                      : std::string("every subnet"));
        parts.push_back("threshold " + number_text(route.threshold));
        if (route.min_relative_change != 0)
            parts.push_back("and more than " + number_text(route.min_relative_change * 100) +
                            "% of the old value");
        if (route.silent) parts.push_back("silent");
        if (route.quiet_hours)
            parts.push_back("quiet " + route.quiet_hours->text() + " UTC (held, then one digest)");
        if (route.flap.any()) parts.push_back("alerts " + routes::describe_flap(route.flap));
        lines.push_back(fmt::format("route {}: {}", i + 1, fmt::join(parts, ", ")));
    }
    return lines;
}

}  // namespace emberscope::config
