#include "channel/CameraInfo.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"

#include <cstring>
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

    const std::string whole = encodeRequest(Operation::set, nameSelector, "Cam");
    EXPECT_EQ(whole, std::string("\x01\x02\x00\x00qlnm\x00\x00\x00\x03" "Cam", 15));
    EXPECT_EQ(encodeRequest(Operation::get, kCameraInfoSelector, ""), std::string("\x01\x01\x00\x00qlin\x00\x00\x00\x00", 12));
}

struct CapCase {
    const char* what;
    std::uint32_t selector;
    std::uint32_t length;
    bool accepted;
};

// The header alone decides: a length above the cap is refused before any payload exists.
TEST(PropertyFramingTest, SetLengthsAreCheckedAgainstTheSelectorsCap)
{
    const std::uint32_t unknown = fourCharCode("zzzz");
    const CapCase cases[] = {
        {"frame at cap", frameSelector, 32u << 20, true},
        {"frame over cap", frameSelector, (32u << 20) + 1, false},
        {"frame huge", frameSelector, 0xFFFFFFFFu, false},
        {"state at cap", stateSelector, 1u << 20, true},
        {"state over cap", stateSelector, (1u << 20) + 1, false},
        {"name at cap", nameSelector, 4096, true},
        {"name over cap", nameSelector, 4097, false},
        {"info at cap", kCameraInfoSelector, 64 * 1024, true},
        {"info over cap", kCameraInfoSelector, 64 * 1024 + 1, false},
        {"unknown at cap", unknown, 4096, true},
        {"unknown over cap", unknown, 4097, false},
        {"unknown huge", unknown, 0x80000000u, false},
        {"empty", stateSelector, 0, true},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        const RequestBytes bytes = encodeRequestHeader({Operation::set, item.selector, item.length});
        if (item.accepted) {
            EXPECT_EQ(decodeRequestHeader(bytes).length, item.length);
        } else {
            EXPECT_THROW(decodeRequestHeader(bytes), FramingError);
        }
        // A reply carrying a value of that length is judged by the same cap.
        const ReplyBytes reply = encodeReplyHeader({ReplyStatus::ok, item.length});
        if (item.accepted) {
            EXPECT_EQ(decodeReplyHeader(reply, Operation::get, item.selector).length, item.length);
        } else {
            EXPECT_THROW(decodeReplyHeader(reply, Operation::get, item.selector), FramingError);
        }
    }
}

TEST(PropertyFramingTest, MalformedRequestHeadersAreRefused)
{
    const RequestBytes good = encodeRequestHeader({Operation::get, stateSelector, 0});
    ASSERT_NO_THROW(decodeRequestHeader(good));
    struct Corruption {
        const char* what;
        std::size_t index;
        std::uint8_t value;
    };
    const Corruption cases[] = {
        {"version 0", 0, 0},
        {"version 2", 0, 2},
        {"operation 0", 1, 0},
        {"operation 3", 1, 3},
        {"reserved byte 2", 2, 1},
        {"reserved byte 3", 3, 0x80},
        {"get carrying a payload", 11, 1},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        RequestBytes bytes = good;
        bytes[item.index] = item.value;
        EXPECT_THROW(decodeRequestHeader(bytes), FramingError);
    }
    RequestBytes text{};
    std::memcpy(text.data(), "GET / HTTP/1", 12);
    EXPECT_THROW(decodeRequestHeader(text), FramingError);
}

TEST(PropertyFramingTest, EncodingRefusesWhatTheReaderWouldRefuse)
{
    EXPECT_THROW(encodeRequest(Operation::set, nameSelector, std::string(4097, 'n')), FramingError);
    EXPECT_THROW(encodeRequest(Operation::get, nameSelector, "x"), FramingError);
    EXPECT_NO_THROW(encodeRequest(Operation::set, nameSelector, std::string(4096, 'n')));
}

struct ReplyCase {
    const char* what;
    ReplyBytes bytes;
    Operation operation;
    std::optional<ReplyHeader> expected;
};

TEST(PropertyFramingTest, RepliesAreCheckedForStatusAndLength)
{
    const ReplyCase cases[] = {
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
    EXPECT_EQ(encodeReply(ReplyStatus::rejected, "no"), std::string("\x01\x02\x00\x00\x00\x00\x00\x02no", 10));
}

} // namespace
} // namespace quellon
