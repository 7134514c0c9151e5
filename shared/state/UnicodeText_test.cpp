#include "platform/UserDefaults.h"
#include "state/QuellonIdentifiers.h"
#include "state/UnicodeText.h"

#include <gtest/gtest.h>

namespace quellon {
namespace {

TEST(UnicodeText, TrimsUnicodeWhitespaceAtBothEndsOnly)
{
    const std::pair<std::string, std::string> cases[] = {
        {"  Desk Cam \n", "Desk Cam"},
        {"\t\r\nA B\v\f", "A B"},
        {"\xC2\xA0" "Cam" "\xE3\x80\x80", "Cam"},            // no-break space, ideographic space
        {"\xE2\x80\xA8" "Cam" "\xE2\x80\xAF", "Cam"},        // line separator, narrow no-break space
        {"\xC2\x85" "x", "x"},                               // next line
        {"\xE2\x80\x8B" "x", "\xE2\x80\x8B" "x"},            // zero-width space is not white space
        {"   ", ""},
        {"", ""},
        {" \xff ", "\xff"},                                  // invalid bytes stop the trim
        {"Caf\xC3\xA9 ", "Caf\xC3\xA9"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(trimWhitespaceAndNewlines(input), expected) << input;
}

TEST(UnicodeText, ReplacesEachMaximalInvalidSubpart)
{
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"Caf\xC3\xA9", "Caf\xC3\xA9"},
        {"a\xFF" "b", "a" + fffd + "b"},
        {"\xC3", fffd},                                      // truncated two-byte sequence
        {"\xE2\x82", fffd},                                  // truncated three-byte sequence: one replacement
        {"\xED\xA0\x80", fffd + fffd + fffd},                // a surrogate is three invalid bytes
        {"\xC0\xAF", fffd + fffd},                           // overlong
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},     // above U+10FFFF
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},            // emoji
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(replacingInvalidUTF8(input), expected);
        EXPECT_EQ(isValidUTF8(input), input == expected);
    }
}

TEST(UnicodeText, LabelSafeTextReplacesControlsAndBidiOverrides)
{
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"Quellon Camera", "Quellon Camera"},
        {"Caf\xC3\xA9 \xF0\x9F\x98\x80", "Caf\xC3\xA9 \xF0\x9F\x98\x80"},   // letters and emoji stay
        {std::string("a\0b", 3), "a" + fffd + "b"},                     // NUL would end a C string
        {"line\nfeed\r\t\x1B[31m", "line" + fffd + "feed" + fffd + fffd + fffd + "[31m"},
        {"del\x7F c1\xC2\x85\xC2\x9F", "del" + fffd + " c1" + fffd + fffd},
        {"\xE2\x80\xAE" "evil\xE2\x80\xAC", fffd + "evil" + fffd},     // right-to-left override, pop
        {"\xE2\x81\xA6x\xE2\x81\xA9\xE2\x80\x8F\xD8\x9C", fffd + "x" + fffd + fffd + fffd}, // isolates, RLM, ALM
        {"\xE2\x80\xA8", fffd},                                      // line separator
        {"a\xFF", "a" + fffd},                                        // invalid UTF-8
        {"\xE2\x80\x8D\xE2\x80\x8B", "\xE2\x80\x8D\xE2\x80\x8B"},     // joiners are not controls
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(labelSafeText(input), expected) << input;
}

TEST(QuellonIdentifiers, CameraNameIsTheTrimmedPreferenceOrTheDefault)
{
    InMemoryUserDefaults defaults;
    EXPECT_EQ(QuellonIdentifiers::effectiveVirtualCameraName(defaults), "Quellon Camera");
    defaults.setString(QuellonIdentifiers::customCameraNameKey, "   \n");
    EXPECT_EQ(QuellonIdentifiers::effectiveVirtualCameraName(defaults), "Quellon Camera");
    defaults.setString(QuellonIdentifiers::customCameraNameKey, "  Desk Cam\n");
    EXPECT_EQ(QuellonIdentifiers::effectiveVirtualCameraName(defaults), "Desk Cam");
}

} // namespace
} // namespace quellon
