// Unicode character classes that the numeric-text rules and the host's repr() need, generated
// from the host's unicodedata.
#pragma once

namespace emberscope::burns {

/// True for the host's white space (str.isspace): ASCII tab to carriage return, 0x1C to 0x1F and
/// space, and the Unicode separators such as U+00A0 and U+3000.
bool is_space(char32_t cp);

/// The value 0 to 9 of a decimal digit of any script (str.isdecimal / unicodedata.decimal), or -1
/// for every other code point, including other numerals such as superscripts and fractions.
int decimal_value(char32_t cp);

/// The host's str.isprintable() for one code point: false for controls, separators other than
/// the space, format characters, surrogates, private use and unassigned code points.
bool is_printable(char32_t cp);

}  // namespace emberscope::burns
