#include "platform/TerminalText.h"

#include <gtest/gtest.h>

namespace quellon {
namespace {

TEST(VisibleText, ShowsControlAndFormatCharactersAndKeepsTheRest)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Evil\nName\u202e", "Evil\\nName<U+202E>"},
        {"a\tb\rc\x1b[2Jd", "a\\tb\\rc\\e[2Jd"},
        {std::string("nul\0bell\x07", 9) + "\x7f", "nul\\x00bell\\x07\\x7F"},
        {"\u2066iso\u2069 \u200fmark\u061c \ufeffbom \u200bzw", "<U+2066>iso<U+2069> <U+200F>mark<U+061C> <U+FEFF>bom <U+200B>zw"},
        {"c1 \u0085 \u009b", "c1 <U+0085> <U+009B>"},
        {"Caf\u00e9 \u6771\u4eac \U0001F3A5 Facetime-HD (USB) \\path", "Caf\u00e9 \u6771\u4eac \U0001F3A5 Facetime-HD (USB) \\path"},
        {"", ""},
    };
    for (const auto& [raw, shown] : cases)
        EXPECT_EQ(visibleText(raw), shown);
}

TEST(VisibleText, ShowsBytesThatAreNotUTF8)
{
    EXPECT_EQ(visibleText("a\xff" "b"), "a\\xFFb");
    EXPECT_EQ(visibleText("cut \xe2\x80"), "cut \\xE2\\x80") << "a sequence cut short";
    EXPECT_EQ(visibleText("\xc0\xaf"), "\\xC0\\xAF") << "an overlong slash";
    EXPECT_EQ(visibleText("\xed\xa0\x80"), "\\xED\\xA0\\x80") << "a surrogate";
    EXPECT_EQ(visibleText("\xe2\x80\xae"), "<U+202E>") << "the override spelled as bytes";
}

} // namespace
} // namespace quellon
