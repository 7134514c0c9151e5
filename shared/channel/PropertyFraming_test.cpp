#include "channel/CameraInfo.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"

#include <gtest/gtest.h>

namespace quellon {
namespace {

using namespace PropertyFraming;
using QuellonCMIOChannel::fourCharCode;
using QuellonCMIOChannel::frameSelector;
using QuellonCMIOChannel::nameSelector;
using QuellonCMIOChannel::stateSelector;

using RequestBytes = std::array<std::uint8_t, kRequestHeaderSize>;
using ReplyBytes = std::array<std::uint8_t, kReplyHeaderSize>;

TEST(PropertyFramingTest, RequestHeaderLayoutIsBigEndian)
{
    const RequestBytes expected{1, 2, 0, 0, 'q', 'l', 's', 't', 0x00, 0x01, 0x02, 0x03};
    EXPECT_EQ(encodeRequestHeader({Operation::set, stateSelector, 0x00010203u}), expected);
    EXPECT_EQ(decodeRequestHeader(expected), (RequestHeader{Operation::set, stateSelector, 0x00010203u}));
    EXPECT_EQ(encodeRequest(Operation::set, nameSelector, "Cam"), std::string("\x01\x02\x00\x00qlnm\x00\x00\x00\x03" "Cam", 15));
    EXPECT_EQ(encodeRequest(Operation::get, kCameraInfoSelector, ""), std::string("\x01\x01\x00\x00qlin\x00\x00\x00\x00", 12));
    EXPECT_EQ(encodeReply(ReplyStatus::rejected, "no"), std::string("\x01\x02\x00\x00\x00\x00\x00\x02no", 10));
}

// The header alone decides: a length above the cap is refused before any payload exists, and a
// reply carrying a value of that length is judged by the same cap.
TEST(PropertyFramingTest, LengthsAreCheckedAgainstTheSelectorsCap)
{
    const std::uint32_t unknown = fourCharCode("zzzz");
    struct Case { const char* what; std::uint32_t selector, length; bool accepted; };
    const Case cases[] = {
        {"frame at cap", frameSelector, 32u << 20, true}, {"frame over cap", frameSelector, (32u << 20) + 1, false},
        {"frame huge", frameSelector, 0xFFFFFFFFu, false}, {"state at cap", stateSelector, 1u << 20, true},
        {"state over cap", stateSelector, (1u << 20) + 1, false}, {"name at cap", nameSelector, 4096, true},
        {"name over cap", nameSelector, 4097, false}, {"info at cap", kCameraInfoSelector, 64 * 1024, true},
        {"info over cap", kCameraInfoSelector, 64 * 1024 + 1, false}, {"unknown at cap", unknown, 4096, true},
        {"unknown over cap", unknown, 4097, false}, {"unknown huge", unknown, 0x80000000u, false}, {"empty", stateSelector, 0, true},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        const RequestBytes request = encodeRequestHeader({Operation::set, item.selector, item.length});
        const ReplyBytes reply = encodeReplyHeader({ReplyStatus::ok, item.length});
        if (item.accepted) {
            EXPECT_EQ(decodeRequestHeader(request).length, item.length);
            EXPECT_EQ(decodeReplyHeader(reply, Operation::get, item.selector).length, item.length);
        } else {
            EXPECT_THROW(decodeRequestHeader(request), FramingError);
            EXPECT_THROW(decodeReplyHeader(reply, Operation::get, item.selector), FramingError);
        }
    }
    EXPECT_THROW(encodeRequest(Operation::set, nameSelector, std::string(4097, 'n')), FramingError);
    EXPECT_NO_THROW(encodeRequest(Operation::set, nameSelector, std::string(4096, 'n')));
    EXPECT_THROW(encodeRequest(Operation::get, nameSelector, "x"), FramingError);
}

TEST(PropertyFramingTest, MalformedRequestHeadersAreRefused)
{
    const RequestBytes good = encodeRequestHeader({Operation::get, stateSelector, 0});
    ASSERT_NO_THROW(decodeRequestHeader(good));
    // {index, value}: versions 0 and 2, operations 0 and 3, reserved bytes set, a get carrying a payload.
    const std::pair<std::size_t, std::uint8_t> corruptions[] = {{0, 0}, {0, 2}, {1, 0}, {1, 3}, {2, 1}, {3, 0x80}, {11, 1}};
    for (const auto& [index, value] : corruptions) {
        RequestBytes bytes = good;
        bytes[index] = value;
        EXPECT_THROW(decodeRequestHeader(bytes), FramingError) << "byte " << index << " = " << int(value);
    }
    const RequestBytes text{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1'};
    EXPECT_THROW(decodeRequestHeader(text), FramingError);
}

TEST(PropertyFramingTest, RepliesAreCheckedForStatusAndLength)
{
    struct Case { const char* what; ReplyBytes bytes; Operation operation; std::optional<ReplyHeader> expected; };
    const Case cases[] = {
        {"set done", encodeReplyHeader({ReplyStatus::ok, 0}), Operation::set, ReplyHeader{ReplyStatus::ok, 0}},
        {"set done with bytes", encodeReplyHeader({ReplyStatus::ok, 1}), Operation::set, std::nullopt},
        {"no value", encodeReplyHeader({ReplyStatus::noValue, 0}), Operation::get, ReplyHeader{ReplyStatus::noValue, 0}},
        {"no value with bytes", encodeReplyHeader({ReplyStatus::noValue, 5}), Operation::get, std::nullopt},
        {"rejected with reason", encodeReplyHeader({ReplyStatus::rejected, 1024}), Operation::set, ReplyHeader{ReplyStatus::rejected, 1024}},
        {"rejected with a long reason", encodeReplyHeader({ReplyStatus::rejected, 1025}), Operation::set, std::nullopt},
        {"unknown status", ReplyBytes{1, 9, 0, 0, 0, 0, 0, 0}, Operation::get, std::nullopt},
        {"wrong version", ReplyBytes{7, 0, 0, 0, 0, 0, 0, 0}, Operation::get, std::nullopt},
        {"reserved set", ReplyBytes{1, 0, 0, 1, 0, 0, 0, 0}, Operation::get, std::nullopt},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        if (item.expected) {
            EXPECT_EQ(decodeReplyHeader(item.bytes, item.operation, stateSelector), *item.expected);
        } else {
            EXPECT_THROW(decodeReplyHeader(item.bytes, item.operation, stateSelector), FramingError);
        }
    }
}

} // namespace
} // namespace quellon
