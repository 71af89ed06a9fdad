// The text helpers behind the configuration answers and the configuration writer: dates as
// text, sections split at separators, number fields. The answers themselves are checked
// through the JavaScript functions (tests/js/config.test.js).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "frontend/binreader2.h"

namespace {

TEST(DateText, TwoDigitFieldsAndPlainYear) {
    const struct {
        kx_Config::DateStruct d;
        const char* text;
    } cases[] = {
        {{5, 4, 3, 2, 1, 0}, "0000-01-02 03:04:05"},
        {{58, 59, 23, 31, 12, 2025}, "2025-12-31 23:59:58"},
        {{0, 0, 0, 1, 1, 123}, "123-01-01 00:00:00"},
        {{-1, 10, 9, 0, 0, 5}, "5-00-00 09:10:0-1"},
    };
    for (const auto& c : cases) EXPECT_EQ(_date_to_string(c.d), c.text);
}

TEST(TextFields, SplitAndNumberFields) {
    const struct {
        std::string text;
        std::vector<std::string> pieces;
    } splits[] = {
        {"", {}}, {"a", {"a"}}, {"a:", {"a"}}, {":", {""}}, {"::b", {"", "", "b"}}, {"a::b:", {"a", "", "b"}},
    };
    for (const auto& s : splits) {
        std::vector<std::string> out = {"kept"};
        _split(s.text, ':', out);
        std::vector<std::string> expected = {"kept"};
        expected.insert(expected.end(), s.pieces.begin(), s.pieces.end());
        EXPECT_EQ(out, expected) << s.text;
    }

    const struct {
        const char* field;
        bool ok;
        int32_t value;
    } numbers[] = {
        {"42", true, 42},
        {"  -7", true, -7},
        {"+8x", true, 8},
        {"12abc", true, 12},
        {"", false, 0},
        {"abc", false, 0},
        {"-", false, 0},
        {" + 1", false, 0},
        {"2147483647", true, INT32_MAX},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"99999999999999999999", false, 0},
    };
    for (const auto& n : numbers) {
        int32_t v = 0;
        EXPECT_EQ(_parse_number_field(n.field, &v), n.ok) << n.field;
        if (n.ok) {
            EXPECT_EQ(v, n.value) << n.field;
        }
    }
}

}  // namespace
