// Host-facing burn state file operations.
#include "host/burns_state_ops.hpp"

#include <functional>
#include <optional>
#include <string>

#include "burns/state_text.hpp"
#include "host/error.hpp"
#include "host/host_services.hpp"
#include "host/json.hpp"
#include "host/module.hpp"
#include "host/raw.hpp"

namespace emberscope::burns {
namespace {

// A text of the loaded map; ASCII ones (numbers, in practice) are the module's shared texts.
host::Object state_text(const host::SharedAsciiTexts& shared, std::string_view utf8) {
    for (const char c : utf8) {
        if (static_cast<unsigned char>(c) >= 0x80) return host::text(utf8);
    }
    return shared.text(utf8);
}

std::string as_text(const host::Object& value) {
    return value.kind() == host::Kind::text ? value.text() : value.str();
}

// The entries of a map whose keys and values are all plain texts; nullopt for any other map.
std::optional<BurnMap> text_entries(const host::Object& map) {
    BurnMap out;
    out.reserve(host::raw::dict_size(map.ptr()));
    std::ptrdiff_t pos = 0;
    host::RawObject *key = nullptr, *value = nullptr;
    while (host::raw::dict_next(map.ptr(), pos, key, value)) {
        if (!host::raw::is_text(key) || !host::raw::is_text(value)) return std::nullopt;
        out.emplace_back(host::Object::borrow(key).text(), host::Object::borrow(value).text());
    }
    return out;
}

// A text the one-pass reader found in `file_text`: a view of the file itself is printable ASCII.
host::Object entry_text(const host::SharedAsciiTexts& shared, std::string_view file_text,
                        std::string_view text) {
    const std::less<const char*> before;
    if (!before(text.data(), file_text.data()) && before(text.data(), file_text.data() + file_text.size()))
        return shared.text(text);
    return state_text(shared, text);
}

// Puts each entry the one-pass reader reads into a new map.
class MapSink final : public StateEntrySink {
public:
    // Made at about its final size: a line of the written shape with a short key and value
    // holds some 24 bytes (a map a little too large or too small costs little either way).
    explicit MapSink(std::string_view file_text)
        : file_text_(file_text), map_(host::raw::new_map(file_text.size() / 24)) {}

    void entry(std::string_view key, std::string_view value) override {
        const host::Object k = entry_text(shared_, file_text_, key);
        host::raw::dict_set(map_, k, entry_text(shared_, file_text_, value));
    }

    host::Object map() && { return std::move(map_); }

private:
    std::string_view file_text_;
    const host::SharedAsciiTexts shared_;
    host::Object map_;
};

// The burn map of a state file that the one-pass reader leaves to the host's decoder.
BurnMap host_decoded_entries(std::string_view file_text) {
    host::Object document;
    try {
        document = host::json_loads(host::text(file_text));
    } catch (const host::Error& e) {
        if (host::is_json_decode_error(e)) return {};
        throw;
    }
    // A top level that is not an object has no `get`: the host's AttributeError names its type.
    std::optional<host::Object> member;
    if (host::raw::is_dict(document.ptr())) {
        member = document.get(kBurnsKey);
    } else {
        member = document.attr("get").call({host::text(kBurnsKey)});
    }
    if (!member || member->kind() != host::Kind::map) return {};
    BurnMap burns;
    for (const auto& [key, value] : member->items()) burns.emplace_back(as_text(key), as_text(value));
    return burns;
}

}  // namespace

BurnMap HostStateDecoder::state_entries(std::string_view file_text) {
    // The files this module writes, and others of their shape, are read in one pass; the host's
    // decoder reads (or refuses) everything else.
    if (std::optional<BurnMap> entries = read_state_file(file_text)) return std::move(*entries);
    return host_decoded_entries(file_text);
}

host::Object load_burn_state(const host::Args& args) {
    const std::string_view path = args.text<kLoadParams, "path">();
    const std::optional<std::string> text = read_state_text(host::services(), path);
    if (!text) return host::new_map();
    // The one-pass reader's entries go straight from the file's text into the map as they are
    // read; a file it leaves to the host's decoder drops the map made so far. The module's
    // texts are looked up after the host's calls (which run the caller's code).
    {
        MapSink sink(*text);
        if (read_state_file(*text, sink)) return std::move(sink).map();
    }
    const BurnMap burns = host_decoded_entries(*text);
    const host::SharedAsciiTexts shared;
    host::Object map = host::raw::new_map(burns.size());
    for (const auto& [key, value] : burns) {
        const host::Object k = state_text(shared, key);
        host::raw::dict_set(map, k, state_text(shared, value));
    }
    return map;
}

host::Object save_burn_state(const host::Args& args) {
    const std::string_view path = args.text<kSaveParams, "path">();
    const host::Object& burns = args.object<kSaveParams, "burns">();
    const std::string_view updated_at = args.text<kSaveParams, "updated_at">();
    if (std::optional<BurnMap> texts = text_entries(burns)) {
        save_burn_state(host::services(), path, *texts, updated_at);
        return host::none();
    }
    // Any other map is written as the host's encoder writes it, and fails as it fails (keys that
    // cannot be sorted, values that are not JSON), before the file is touched.
    host::Object document = host::new_map();
    document.set(kUpdatedAtKey, args.given<kSaveParams, "updated_at">());
    document.set(kBurnsKey, burns);
    host::services().replace_file(path, host::json_dumps_sorted_indented(document) + "\n");
    return host::none();
}

}  // namespace emberscope::burns
