// Masking of secrets (the bot token, the Taostats key) in every text the module hands out.
//
// A secret is found in a text however the text spells it: verbatim, escaped as the host's
// repr() of a str or of bytes writes it, escaped as a JSON encoder writes it, or percent-encoded
// with either case of hex digits, in any mix of those spellings. Each occurrence is replaced by
// the secret's mask. Secrets shorter than kShortestMaskedSecret code points are left alone: a
// one-letter value would mangle every text.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace emberscope::secrets {

/// What stands in for the bot token.
inline constexpr std::string_view kTokenMask = "<token>";
/// What stands in for the Taostats key.
inline constexpr std::string_view kTaostatsKeyMask = "<taostats-key>";
/// Secrets with fewer code points than this are not masked.
inline constexpr std::size_t kShortestMaskedSecret = 8;

struct Secret {
    std::string value;
    std::string_view mask;
};

/// One replaced occurrence: the byte range [begin, end) of the input, and where its mask
/// starts in the output.
struct Replacement {
    std::size_t begin;
    std::size_t end;
    std::size_t out_begin;
    std::size_t out_end;
};

struct Masked {
    std::string text;
    std::vector<Replacement> replaced;  ///< in input order
};

/// True when `secret` is long enough to be masked.
bool is_maskable(std::string_view secret);

/// `data` (UTF-8 text or any bytes) with every spelling of every maskable secret replaced by
/// its mask, scanning left to right; at one position the longest match wins.
Masked mask_all(std::string_view data, std::span<const Secret> secrets);

/// The masked text alone.
std::string mask(std::string_view data, std::span<const Secret> secrets);

/// Maps the input byte range [begin, end) to the output: positions outside replacements move
/// with them; a range touching a replacement grows to cover that replacement's mask.
std::pair<std::size_t, std::size_t> map_range(const Masked& masked, std::size_t begin,
                                              std::size_t end);

}  // namespace emberscope::secrets
