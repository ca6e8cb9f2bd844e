#include "burns/owner_burn.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace emberscope::burns {
namespace {

using B = BurnKind;

TEST(OwnerBurn, EmptyFormsAreZeroAndEverythingElseIsItsStrForm) {
    // `shown` is what the reader's str() makes of the value; "0" is the rule's own text.
    struct Case {
        BurnValue value;
        const char* shown;
        const char* text;
    } cases[] = {
        {{B::absent, false}, "(never made)", "0"},
        {{B::null, false}, "None", "0"},  // null is empty whatever its reader says
        {{B::null, true}, "None", "0"},
        {{B::boolean, true}, "False", "0"},
        {{B::boolean, false}, "True", "True"},
        {{B::integer, true}, "0", "0"},
        {{B::integer, false}, "-7", "-7"},
        {{B::integer, false}, "123456789012345678901234567890", "123456789012345678901234567890"},
        {{B::real, true}, "-0.0", "0"},
        {{B::real, true}, "0.0", "0"},
        {{B::real, false}, "1e-05", "1e-05"},
        {{B::real, false}, "nan", "nan"},
        {{B::real, false}, "-inf", "-inf"},
        {{B::text, true}, "", "0"},
        {{B::text, false}, "0.0", "0.0"},       // a text is never read as a number here
        {{B::text, false}, " 0.5 ", " 0.5 "},   // nor trimmed
        {{B::text, false}, "n/a", "n/a"},
        {{B::array, true}, "[]", "0"},
        {{B::array, false}, "[0.5]", "[0.5]"},
        {{B::object, true}, "{}", "0"},
        {{B::object, false}, "{'a': 1}", "{'a': 1}"},
        {{B::other, true}, "Decimal('0')", "0"},
        {{B::other, false}, "(1,)", "(1,)"},
    };
    for (const Case& c : cases) {
        int made = 0;
        const std::string text = owner_burn_text(c.value, [&] {
            ++made;
            return std::string(c.shown);
        });
        EXPECT_EQ(text, c.text) << c.shown;
        // The str() form is made only when it is the result: a host's str() may be costly or fail.
        EXPECT_EQ(made, burns_as_zero(c.value) ? 0 : 1) << c.shown;
    }
}

TEST(OwnerBurn, AReadingIsThereAndNotANumberThatIsNotFinite) {
    struct Case {
        BurnValue value;
        const char* shown;
        std::optional<std::string> reading;
    } cases[] = {
        {{B::absent, false}, "0.5", std::nullopt},
        {{B::null, true}, "None", std::nullopt},
        {{B::real, false}, "nan", std::nullopt},
        {{B::real, false}, "inf", std::nullopt},
        {{B::real, false}, "-inf", std::nullopt},
        {{B::text, false}, "NaN", std::nullopt},
        {{B::text, false}, " +Inf ", std::nullopt},
        {{B::text, false}, "-infinity", std::nullopt},
        {{B::text, false}, "\t-nan\n", std::nullopt},
        {{B::text, false}, "1e999", std::nullopt},     // past the range of a double
        {{B::text, false}, "-1_0e4_00", std::nullopt},
        {{B::text, false}, "1e308", "1e308"},
        {{B::text, false}, "1e-999", "1e-999"},        // underflows to zero: finite
        {{B::text, false}, "info", "info"},            // not numeric: a reading shown as it is
        {{B::text, false}, "n/a", "n/a"},
        {{B::text, false}, "nan%", "nan%"},
        {{B::text, true}, "", "0"},
        {{B::boolean, true}, "False", "0"},
        {{B::boolean, false}, "True", "True"},
        {{B::real, true}, "-0.0", "0"},
        {{B::integer, false}, "9999999999999999999999", "9999999999999999999999"},
        {{B::array, false}, "[nan]", "[nan]"},
    };
    for (const Case& c : cases) {
        int made = 0;
        const std::optional<std::string> reading = owner_burn_reading(c.value, [&] {
            ++made;
            return std::string(c.shown);
        });
        EXPECT_EQ(reading, c.reading) << c.shown;
        EXPECT_EQ(is_reading(c.value, owner_burn_text(c.value, [&] { return std::string(c.shown); })),
                  c.reading.has_value())
            << c.shown;
        EXPECT_EQ(made, burns_as_zero(c.value) ? 0 : 1) << c.shown;
    }
}

}  // namespace
}  // namespace emberscope::burns
