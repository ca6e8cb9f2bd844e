// The listing read alone, side by side on one body (bench/floor_bench.py --body writes one):
// the engine's read (the page scan and the row rules), the same rules over the listing decoded
// whole (the engine's read before the scan), the documented module's scan_listing (the same page
// scan, then its burn map), and simdjson On-Demand taking the same two members a row (the
// floor's read). Interleaved rounds, median per round; figures per row.
//
// Usage: listing_read BODY.json [rounds]
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/json.hpp"
#include "engine/listing.hpp"
#include "taostats/listing_scan.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::size_t engine_read(const std::string& body) {
    namespace e = emberscope::engine;
    namespace t = emberscope::taostats;
    static t::PageSlices page;
    if (!e::is_utf8(body) || !t::scan_listing_page(body, page, t::kCommandScan)) return 0;
    e::ListingReader reader;
    for (const t::RowSlices& row : page.rows) reader.add(row);
    return reader.finish().rows.size() + 0 * reader.take_page_digest();
}

// Today's engine read before the scan: the listing decoded whole, then its rows.
std::size_t engine_tree(const std::string& body) {
    namespace e = emberscope::engine;
    auto parsed = e::parse_json(body);
    const e::JsonValue& answer = std::get<e::JsonValue>(parsed);
    return e::read_listing(*answer.get("data")).rows.size();
}

std::size_t module_scan(const std::string& body) {
    return emberscope::taostats::scan_listing(body)->burns.size();
}

std::size_t on_demand(const std::string& body) {
    static simdjson::ondemand::parser parser;
    static simdjson::padded_string padded;
    padded = simdjson::padded_string(body);
    std::size_t n = 0;
    simdjson::ondemand::document doc = parser.iterate(padded);
    for (simdjson::ondemand::value row : doc["data"].get_array()) {
        std::string_view netuid, burn;
        for (auto field : row.get_object()) {
            std::string_view name = field.unescaped_key();
            if (name == "netuid") netuid = field.value().raw_json_token();
            else if (name == "incentive_burn") burn = field.value().raw_json_token();
        }
        n += !netuid.empty();
    }
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: listing_read BODY.json [rounds]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string body = ss.str();
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 21;
    struct Kernel {
        const char* name;
        std::function<std::size_t(const std::string&)> run;
        std::vector<double> seconds;
        std::size_t expect = 0;
    };
    std::vector<Kernel> kernels = {{"engine page scan + reader", engine_read, {}, 0},
                                   {"engine decoded whole", engine_tree, {}, 0},
                                   {"module scan_listing", module_scan, {}, 0},
                                   {"simdjson On-Demand", on_demand, {}, 0}};
    const std::size_t rows = kernels[2].run(body);
    for (auto& k : kernels) k.expect = k.run(body);  // the engine leaves rows without a burn out
    for (int r = 0; r < rounds; ++r) {
        for (auto& k : kernels) {
            const auto start = Clock::now();
            const std::size_t n = k.run(body);
            k.seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            if (n != k.expect) std::fprintf(stderr, "%s read %zu rows, not %zu\n", k.name, n, k.expect);
        }
    }
    std::printf("%zu rows, %zu bytes; median of %d interleaved rounds\n", rows, body.size(), rounds);
    const double base = [&] {
        auto s = kernels[3].seconds;
        std::sort(s.begin(), s.end());
        return s[s.size() / 2];
    }();
    for (auto& k : kernels) {
        std::sort(k.seconds.begin(), k.seconds.end());
        const double m = k.seconds[k.seconds.size() / 2];
        std::printf("  %-26s %9.3f ms  %7.1f ns/row  %6.0f MB/s  %5.2fx On-Demand\n", k.name,
                    m * 1e3, m * 1e9 / rows, body.size() / m / 1e6, m / base);
    }
    return 0;
}
