// Finding the caller-ID field in one frame of modem output.
#include <gtest/gtest.h>

#include <optional>
#include <string_view>

#include "line/CallerId.h"

namespace tarvik::line {
namespace {

struct FieldCase {
    const char* name;
    std::string_view frame;
    std::optional<std::string_view> field;
};

TEST(CallerIdField, FoundFromTheSecondCharacterUpToTheLineEnd) {
    using namespace std::string_view_literals;
    const FieldCase cases[] = {
        {"each label after the line feed", "\nDATE = 1206\r", "DATE = 1206"},
        {"name with blanks", "\nNAME = JOHN DOE\r", "NAME = JOHN DOE"},
        {"label at the very start is not taken", "DATE = 1206\r", std::nullopt},
        {"label at the second character of any kind", "xDATE = 1206\r", "DATE = 1206"},
        {"label in the middle", "\n  junk NAME = X\r", "NAME = X"},
        {"ends at a line feed before the CR", "\nDATE = 1206\nmore\r", "DATE = 1206"},
        {"no terminator: up to the end", "\nCALR = 555", "CALR = 555"},
        {"empty value", "\nNAME =\r", "NAME ="},
        {"compact form", "\nDATE=1206\r", "DATE=1206"},
        {"the number as most modems name it", "\nNMBR = 5551212\r", "NMBR = 5551212"},
        {"a label not followed by an equals sign", "\nDATEX = 1\r", std::nullopt},
        {"blank before the equals sign only", "\nDATE =1206\r", "DATE =1206"},
        {"blank after the equals sign only", "\nDATE= 1206\r", "DATE= 1206"},
        {"lower case is not a label", "\ndate = 1206\r", std::nullopt},
        {"a RING frame", "\nRING\r", std::nullopt},
        {"empty frame", "", std::nullopt},
        {"label cut short by the frame end", "\nDATE ", std::nullopt},
        {"bytes after the terminator are not the field's", "\nTIME = 1\r\0\0"sv, "TIME = 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FindCallerIdField(c.frame), c.field);
    }
}

TEST(CallerIdField, TwoLabelsInOneFrameGiveOnlyTheFirstInLabelOrder) {
    const FieldCase cases[] = {
        // DATE is looked for before TIME, wherever they stand.
        {"later date wins over earlier time", "\nTIME = 0902 DATE = 1206\r", "DATE = 1206"},
        {"the field runs to the line end, over the other label", "\nDATE = 1206 TIME = 0902\r",
         "DATE = 1206 TIME = 0902"},
        {"name after caller", "\nNAME = BOB CALR = 555\r", "CALR = 555"},
        // A label at the first character is skipped, a later one is found.
        {"first label skipped, second found", "NAME = BOB\nTIME = 0902\r", "TIME = 0902"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FindCallerIdField(c.frame), c.field);
    }
}

}  // namespace
}  // namespace tarvik::line
