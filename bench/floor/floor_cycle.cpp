// The floor of a watch cycle: what a plain C++ program pays for one. libcurl asks for the
// listing with gzip over one kept connection into a body buffer kept between cycles,
// simdjson On-Demand reads each row's netuid and owner burn member, the values are compared
// with the state file's, and the new state file is written durably (temporary file, fsync,
// rename, fsync of the folder). Nothing else: no paging, no rate limits, no console.
//
// Built as a shared library that the side-by-side bench loads with ctypes, so that it runs in
// the same process, on the same thread and under the same allocation counter as the command's
// cycle it is compared with.
#include <curl/curl.h>
#include <fcntl.h>
#include <simdjson.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

struct Floor {
    CURL* handle = nullptr;
    std::string body;
    simdjson::ondemand::parser parser;
    simdjson::padded_string state_text;
    std::string out;
};

Floor& floor_state() {
    static Floor f;
    return f;
}

std::size_t on_data(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

bool get(Floor& f, const char* url, const char* key) {
    if (f.handle == nullptr) {
        f.handle = curl_easy_init();
        curl_easy_setopt(f.handle, CURLOPT_ACCEPT_ENCODING, "gzip");
        curl_easy_setopt(f.handle, CURLOPT_WRITEFUNCTION, on_data);
        curl_easy_setopt(f.handle, CURLOPT_WRITEDATA, &f.body);
        curl_easy_setopt(f.handle, CURLOPT_NOSIGNAL, 1L);
    }
    static std::string auth;
    auth = std::string("Authorization: ") + key;
    curl_slist* headers = curl_slist_append(nullptr, auth.c_str());
    headers = curl_slist_append(headers, "Accept: application/json");
    curl_easy_setopt(f.handle, CURLOPT_URL, url);
    curl_easy_setopt(f.handle, CURLOPT_HTTPHEADER, headers);
    f.body.clear();
    const CURLcode code = curl_easy_perform(f.handle);
    curl_slist_free_all(headers);
    long status = 0;
    curl_easy_getinfo(f.handle, CURLINFO_RESPONSE_CODE, &status);
    return code == CURLE_OK && status == 200;
}

// The owner burn text of a member's value: a text as it is, a number as sent.
std::string burn_text(simdjson::ondemand::value v) {
    if (v.type() == simdjson::ondemand::json_type::string) return std::string(std::string_view(v.get_string()));
    std::string_view raw = v.raw_json_token();
    while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\n')) raw.remove_suffix(1);
    return std::string(raw);
}

double number_of(std::string_view text, bool& ok) {
    char* end = nullptr;
    std::string copy(text);
    const double d = std::strtod(copy.c_str(), &end);
    ok = end != copy.c_str() && *end == '\0';
    return d;
}

void append_quoted(std::string& out, std::string_view s) {
    out += '"';
    out += s;
    out += '"';
}

bool write_durably(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::fsync(fd) == 0 && ok;
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) return false;
    const std::string folder = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace

/// One cycle: returns the number of subnets that moved by more than `threshold`, or -1 when the
/// listing could not be read.
extern "C" __attribute__((visibility("default"))) long floor_cycle(const char* url, const char* key,
                                                                   const char* state_path,
                                                                   double threshold) {
    Floor& f = floor_state();
    if (!get(f, url, key)) return -1;
    std::vector<std::pair<std::string, std::string>> current;
    try {
        f.body.reserve(f.body.size() + simdjson::SIMDJSON_PADDING);
        simdjson::ondemand::document doc =
            f.parser.iterate(f.body.data(), f.body.size(), f.body.capacity());
        for (simdjson::ondemand::value row : doc["data"].get_array()) {
            std::string netuid, burn = "0";
            for (auto field : row.get_object()) {
                std::string_view name = field.unescaped_key();
                if (name == "netuid") netuid = std::string(std::string_view(field.value().raw_json_token()));
                else if (name == "incentive_burn") burn = burn_text(field.value());
            }
            while (!netuid.empty() && netuid.back() == ' ') netuid.pop_back();
            current.emplace_back(std::move(netuid), std::move(burn));
        }
    } catch (const simdjson::simdjson_error&) {
        return -1;
    }
    // The values kept by the cycle before.
    std::unordered_map<std::string, std::string> previous;
    if (simdjson::padded_string::load(state_path).get(f.state_text) == simdjson::SUCCESS) {
        try {
            simdjson::ondemand::document state = f.parser.iterate(f.state_text);
            for (auto field : state["owner_burn_rate"].get_object())
                previous.emplace(std::string(std::string_view(field.unescaped_key())),
                                 std::string(std::string_view(field.value().get_string())));
        } catch (const simdjson::simdjson_error&) {
            previous.clear();
        }
    }
    long changes = 0;
    for (const auto& [netuid, text] : current) {
        auto it = previous.find(netuid);
        if (it == previous.end()) continue;
        bool a = false, b = false;
        const double now = number_of(text, a), before = number_of(it->second, b);
        if (a && b ? std::fabs(now - before) > threshold : text != it->second) ++changes;
    }
    f.out.clear();
    f.out += "{\"owner_burn_rate\": {";
    bool first = true;
    for (const auto& [netuid, text] : current) {
        if (!first) f.out += ", ";
        first = false;
        append_quoted(f.out, netuid);
        f.out += ": ";
        append_quoted(f.out, text);
    }
    f.out += "}, \"updated_at_utc\": \"2026-12-08T00:00:00Z\"}\n";
    if (!write_durably(state_path, f.out)) return -1;
    return changes;
}
