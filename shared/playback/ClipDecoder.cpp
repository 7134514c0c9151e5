#include "playback/ClipDecoder.h"

#include "playback/ClipSampling.h"
#include "playback/FFmpegHandles.h"
#include "playback/FFmpegVideoTags.h"
#include "playback/LoopLoadError.h"

#include <libyuv/convert_from_argb.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <tuple>
#include <utility>

namespace quellon {

namespace {

using Case = LoopLoadError::Case;

using ffmpeg::FramePtr;

// A picture that starts within this of a sample time is the one shown at it: sample times are
// rounded to 1/600 s and frame times come from the stream's own time base.
constexpr double kTimeSlack = 1e-6;

[[noreturn]] void fail(Case kind, const std::string& message)
{
    throw LoopLoadError(kind, message);
}

std::string describe(int error)
{
    return ffmpeg::errorText(error);
}

// Errors reach the caller as LoopLoadError; FFmpeg's own complaints about a damaged file would
// only repeat them on standard error.
void quietenFFmpeg()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

bool acceptableSize(std::int64_t width, std::int64_t height)
{
    return width >= 1 && height >= 1 && width <= PixelBuffer::kMaxSide && height <= PixelBuffer::kMaxSide
        && width * height <= PixelBuffer::kMaxPixels;
}

// Copies an upright BGRA frame into target turned clockwise by the given quarter turns.
void rotate(const PixelBuffer& source, PixelBuffer& target, int turns)
{
    auto in = source.lockForReading();
    auto out = target.lockForWriting();
    const int w = source.width();
    const int h = source.height();
    for (int y = 0; y < target.height(); ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(out.row(y));
        for (int x = 0; x < target.width(); ++x) {
            int sx = x, sy = y;
            if (turns == 1)
                sx = y, sy = h - 1 - x;
            else if (turns == 2)
                sx = w - 1 - x, sy = h - 1 - y;
            else if (turns == 3)
                sx = w - 1 - y, sy = x;
            std::memcpy(&row[x], in.row(sy) + static_cast<std::size_t>(sx) * 4, 4);
        }
    }
}

// The display size fitted into the bounds (0: unbounded), proportions kept, never enlarged.
std::pair<int, int> fittedSize(int width, int height, std::int64_t maxWidth, std::int64_t maxHeight)
{
    double scale = 1;
    if (maxWidth > 0)
        scale = std::min(scale, static_cast<double>(maxWidth) / width);
    if (maxHeight > 0)
        scale = std::min(scale, static_cast<double>(maxHeight) / height);
    if (scale >= 1)
        return {width, height};
    return {std::max(1, static_cast<int>(std::lround(width * scale))), std::max(1, static_cast<int>(std::lround(height * scale)))};
}

// Makes the buffers a decode fills, a few ahead, on another thread while the pictures are
// decoded and converted: a fresh frame's pages cost the system about as much time as the
// conversion, and this way that time runs beside it on a second core. At most kAhead buffers
// wait unclaimed, and at most `count` are made in all.
class BufferSupply {
public:
    static constexpr std::size_t kAhead = 4;

    BufferSupply(int width, int height, PixelFormatCode format, std::int64_t count)
        : width_(width), height_(height), format_(format), maker_([this, count](std::stop_token stop) { make(stop, count); })
    {
    }

    ~BufferSupply()
    {
        maker_.request_stop();
        maker_.join();
    }

    /// The next buffer made, or one made here when the maker has stopped (its count reached or
    /// memory short). Null when memory is short.
    PixelBufferRef take()
    {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !ready_.empty() || finished_; });
            if (!ready_.empty()) {
                PixelBufferRef buffer = std::move(ready_.front());
                ready_.pop_front();
                changed_.notify_all();
                return buffer;
            }
        }
        return PixelBuffer::create(width_, height_, format_);
    }

    BufferSupply(const BufferSupply&) = delete;
    BufferSupply& operator=(const BufferSupply&) = delete;

private:
    void make(std::stop_token stop, std::int64_t count)
    {
        for (std::int64_t made = 0; made < count; ++made) {
            {
                std::unique_lock lock(mutex_);
                if (!changed_.wait(lock, stop, [this] { return ready_.size() < kAhead; }))
                    break; // stop asked
            }
            PixelBufferRef buffer = PixelBuffer::create(width_, height_, format_);
            if (!buffer)
                break;
            std::lock_guard lock(mutex_);
            ready_.push_back(std::move(buffer));
            changed_.notify_all();
        }
        std::lock_guard lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    }

    const int width_;
    const int height_;
    const PixelFormatCode format_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<PixelBufferRef> ready_;
    bool finished_ = false;
    std::jthread maker_; // last: it starts once everything it uses exists
};

// Turns decoded pictures into frames of the given (display) size and format: scaled and
// converted to BGRA in one pass, then turned. For J420 the upright and turned BGRA pictures are
// scratch buffers used again for every picture (their pages stay mapped and in cache), and only
// the compact frame is new. swscale's own 4:2:0 output would keep the source's matrix (a BT.709
// clip would come out with shifted colours), and even for BT.601 sources, where only the range
// differs, it is slower than this path: its YUV-to-BGRA conversion is its fastest.
class FrameConverter {
public:
    FrameConverter(int width, int height, int turns, PixelFormatCode format, std::int64_t count)
        : codedWidth_(turns % 2 == 1 ? height : width), codedHeight_(turns % 2 == 1 ? width : height), turns_(turns),
          format_(format), supply_(width, height, format, count)
    {
    }

    PixelBufferRef convert(const AVFrame& picture)
    {
        if (picture.width < 1 || picture.height < 1 || picture.format < 0 || !acceptableSize(picture.width, picture.height))
            return nullptr;
        const auto format = static_cast<AVPixelFormat>(picture.format);
        SwsContext* scaler = sws_getCachedContext(scaler_.release(), picture.width, picture.height, format, codedWidth_,
                                                  codedHeight_, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
        scaler_.reset(scaler);
        if (!scaler)
            return nullptr;
        applyColorspace(picture);
        const bool straight = format_ == kPixelFormatBGRA && turns_ == 0;
        PixelBufferRef upright = straight ? supply_.take() : scratch(uprightScratch_, codedWidth_, codedHeight_);
        if (!upright)
            return nullptr;
        {
            auto lock = upright->lockForWriting();
            std::uint8_t* planes[4] = {lock.baseAddress(), nullptr, nullptr, nullptr};
            int strides[4] = {static_cast<int>(upright->bytesPerRow()), 0, 0, 0};
            if (sws_scale(scaler, picture.data, picture.linesize, 0, picture.height, planes, strides) != codedHeight_)
                return nullptr;
        }
        if (straight)
            return upright;
        const bool sideways = turns_ % 2 == 1;
        const int width = sideways ? codedHeight_ : codedWidth_, height = sideways ? codedWidth_ : codedHeight_;
        PixelBufferRef turned = upright;
        if (turns_ != 0) {
            turned = format_ == kPixelFormatBGRA ? supply_.take() : scratch(turnedScratch_, width, height);
            if (!turned)
                return nullptr;
            rotate(*upright, *turned, turns_);
        }
        if (format_ == kPixelFormatBGRA)
            return turned;
        PixelBufferRef compact = supply_.take();
        if (!compact)
            return nullptr;
        const auto from = turned->lockForReading();
        const auto to = compact->lockForWriting();
        const auto y = compact->plane(0), u = compact->plane(1), v = compact->plane(2);
        // libyuv's ARGB is a little-endian word: blue, green, red, alpha in memory, our BGRA.
        if (libyuv::ARGBToJ420(from.baseAddress(), static_cast<int>(turned->bytesPerRow()), to.baseAddress() + y.offset,
                               static_cast<int>(y.bytesPerRow), to.baseAddress() + u.offset, static_cast<int>(u.bytesPerRow),
                               to.baseAddress() + v.offset, static_cast<int>(v.bytesPerRow), width, height)
            != 0)
            return nullptr;
        return compact;
    }

private:
    static PixelBufferRef scratch(PixelBufferRef& kept, int width, int height)
    {
        if (!kept)
            kept = PixelBuffer::create(width, height, kPixelFormatBGRA);
        return kept;
    }

    // Pictures are converted in the matrix and range they state. A scaler is made anew (with
    // its defaults) only when the picture's size or format changes, which the key includes.
    void applyColorspace(const AVFrame& picture)
    {
        const std::tuple key{scaler_.get(), picture.width, picture.height, picture.format, picture.colorspace, picture.color_range};
        if (key == lastColours_)
            return;
        ffmpeg::readPictureColours(scaler_.get(), picture);
        lastColours_ = key;
    }

    int codedWidth_;
    int codedHeight_;
    int turns_;
    PixelFormatCode format_;
    PixelBufferRef uprightScratch_;
    PixelBufferRef turnedScratch_;
    BufferSupply supply_;
    ffmpeg::ScalerPtr scaler_;
    std::tuple<SwsContext*, int, int, int, AVColorSpace, AVColorRange> lastColours_{nullptr, 0, 0, -1, AVCOL_SPC_NB, AVCOL_RANGE_NB};
};

// Gives each sample time the picture a player shows then: the last one that starts at or before
// it (the first picture for times before it). Pictures are seen once, in presentation order, and
// only the latest is held, so memory stays at one frame besides the kept ones.
class SamplePicker {
public:
    SamplePicker(std::vector<double> times, FrameConverter& converter)
        : times_(std::move(times)), picked_(times_.size()), converter_(converter)
    {
    }

    bool settled() const { return next_ >= times_.size(); }

    /// A decoded picture shown from `time` seconds on.
    void offer(FramePtr picture, double time)
    {
        if (held_ && time <= heldTime_)
            return; // out of order or repeated: the held picture stays
        // Samples before this picture's start see the held one (or, before the first picture,
        // this one: nothing is shown earlier).
        while (held_ && !settled() && times_[next_] < time - kTimeSlack)
            settleNext();
        held_ = std::move(picture);
        heldConverted_ = nullptr;
        heldTime_ = time;
    }

    /// No more pictures: the last one stays on screen for every later sample.
    std::vector<PixelBufferRef> finish()
    {
        while (held_ && !settled())
            settleNext();
        std::vector<PixelBufferRef> frames;
        for (auto& frame : picked_)
            if (frame)
                frames.push_back(std::move(frame));
        return frames;
    }

private:
    void settleNext()
    {
        if (!heldConverted_)
            heldConverted_ = converter_.convert(*held_);
        picked_[next_++] = heldConverted_;
    }

    std::vector<double> times_;
    std::vector<PixelBufferRef> picked_;
    FrameConverter& converter_;
    std::size_t next_ = 0;
    FramePtr held_;
    PixelBufferRef heldConverted_;
    double heldTime_ = 0;
};

} // namespace

DecodedClip FFmpegClipDecoder::decode(const std::filesystem::path& file, std::int64_t maxFrames)
{
    return decode(file, ClipRequest{.maxFrames = maxFrames});
}

DecodedClip FFmpegClipDecoder::decode(const std::filesystem::path& file, const ClipRequest& request)
{
    quietenFFmpeg();
    const std::int64_t maxFrames = request.maxFrames;
    const std::string name = file.string();
    if (maxFrames < 0)
        fail(Case::decodeFailed, "a negative frame limit (" + std::to_string(maxFrames) + ") was asked for " + name);
    std::error_code error;
    // FIFOs and devices could block for ever or never end.
    if (!std::filesystem::is_regular_file(file, error))
        fail(Case::decodeFailed, name + " is not a readable regular file");

    // Only the file protocol: a playlist inside the file must not reach other files or the network.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* rawFormat = nullptr;
    const std::string url = "file:" + std::filesystem::absolute(file, error).string();
    int status = avformat_open_input(&rawFormat, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (status < 0)
        fail(Case::decodeFailed, "cannot open " + name + ": " + describe(status));
    ffmpeg::InputContextPtr format(rawFormat);
    if ((status = avformat_find_stream_info(format.get(), nullptr)) < 0)
        fail(Case::decodeFailed, "cannot read the streams of " + name + ": " + describe(status));

    AVStream* stream = nullptr;
    for (unsigned i = 0; i < format->nb_streams && !stream; ++i) {
        AVStream* candidate = format->streams[i];
        if (candidate->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(candidate->disposition & AV_DISPOSITION_ATTACHED_PIC))
            stream = candidate;
    }
    if (!stream)
        fail(Case::noVideoTrack, name + " has no video");

    const int codedWidth = stream->codecpar->width;
    const int codedHeight = stream->codecpar->height;
    if (!acceptableSize(codedWidth, codedHeight))
        fail(Case::decodeFailed, name + " declares a picture of " + std::to_string(codedWidth) + "x"
                                     + std::to_string(codedHeight) + " pixels, beyond what a loop may hold");
    if (const auto transfer = ffmpeg::highDynamicRangeTransfer(stream->codecpar->color_trc))
        fail(Case::decodeFailed, ffmpeg::highDynamicRangeRefusal(name, *transfer));
    const int turns = ffmpeg::quarterTurns(ffmpeg::displayMatrix(*stream));
    DecodedClip clip;
    const auto [width, height] = fittedSize(turns % 2 == 1 ? codedHeight : codedWidth, turns % 2 == 1 ? codedWidth : codedHeight,
                                            request.maxWidth, request.maxHeight);
    clip.width = width;
    clip.height = height;
    clip.fps = ClipSampling::nominalRate(stream->avg_frame_rate.num, stream->avg_frame_rate.den);
    const double timeBase = av_q2d(stream->time_base);
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        clip.seconds = static_cast<double>(stream->duration) * timeBase;
    else if (format->duration != AV_NOPTS_VALUE && format->duration > 0)
        clip.seconds = static_cast<double>(format->duration) / AV_TIME_BASE;

    const auto wanted = ClipSampling::frameCount(clip.seconds, ClipSampling::kOutputRate, maxFrames);
    if (!wanted)
        fail(Case::decodeFailed, name + " declares a duration of " + std::to_string(clip.seconds) + " s at "
                                     + std::to_string(clip.fps) + " fps, which cannot be sampled");
    if (request.format != kPixelFormatBGRA && request.format != kPixelFormatJ420)
        fail(Case::decodeFailed, "frames of " + name + " were asked in a format the decoder does not make");
    const auto frameBytes = static_cast<std::int64_t>(PixelBuffer::byteCount(clip.width, clip.height, request.format));
    const std::int64_t byteBudget = request.maxBytes > 0 ? std::min(request.maxBytes, kMaxDecodedBytes) : kMaxDecodedBytes;
    const std::int64_t count = std::min({*wanted, kMaxFrames, byteBudget / frameBytes});
    if (count < 1)
        fail(Case::empty, "no frames were asked of " + name + ", or not one fits the memory left to the loop");

    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        fail(Case::decodeFailed, name + " uses a video codec this system cannot decode");
    ffmpeg::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0)
        fail(Case::decodeFailed, "cannot set up the decoder for " + name);
    decoder->pkt_timebase = stream->time_base;
    decoder->thread_count = 2;
    decoder->thread_type = FF_THREAD_FRAME;
    // A stream that grows its pictures mid-way is refused by the decoder, not allocated.
    decoder->max_pixels = PixelBuffer::kMaxPixels;
    if ((status = avcodec_open2(decoder.get(), codec, nullptr)) < 0)
        fail(Case::decodeFailed, "cannot open the decoder for " + name + ": " + describe(status));

    FrameConverter converter(width, height, turns, request.format, count);
    SamplePicker picker(ClipSampling::paceTimes(count), converter);
    const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    double lastTime = -1.0 / clip.fps;
    auto drain = [&] {
        for (;;) {
            FramePtr picture(av_frame_alloc());
            if (!picture || avcodec_receive_frame(decoder.get(), picture.get()) < 0)
                return;
            double time = lastTime + 1.0 / clip.fps;
            if (picture->best_effort_timestamp != AV_NOPTS_VALUE)
                time = static_cast<double>(picture->best_effort_timestamp - start) * timeBase;
            if (!std::isfinite(time))
                continue;
            lastTime = time;
            picker.offer(std::move(picture), time);
        }
    };

    ffmpeg::PacketPtr packet(av_packet_alloc());
    if (!packet)
        fail(Case::decodeFailed, "no memory to decode " + name);
    while (!picker.settled() && av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream->index) {
            // A full decoder takes the packet once its finished pictures are collected.
            if (avcodec_send_packet(decoder.get(), packet.get()) == AVERROR(EAGAIN)) {
                drain();
                avcodec_send_packet(decoder.get(), packet.get());
            }
            drain();
        }
        av_packet_unref(packet.get());
    }
    if (!picker.settled()) {
        avcodec_send_packet(decoder.get(), nullptr);
        drain();
    }
    clip.frames = picker.finish();
    if (clip.frames.empty())
        fail(Case::empty, "no frame could be decoded from " + name);
    return clip;
}

} // namespace quellon
