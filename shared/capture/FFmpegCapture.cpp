#include "capture/FFmpegCapture.h"

#include "playback/FFmpegHandles.h"
#include "playback/FFmpegVideoTags.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <vector>

namespace quellon {

namespace {

using Clock = std::chrono::steady_clock;

using ffmpeg::errorText;

void registerDevicesOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        avdevice_register_all();
        // Errors reach the user through our own messages; FFmpeg's lines would only repeat them.
        av_log_set_level(AV_LOG_FATAL);
    });
}


class FFmpegCaptureSource final : public CaptureSource {
public:
    FFmpegCaptureSource(const CaptureInput& input, const CaptureOptions& options)
        : input_(input), options_(options)
    {
        registerDevicesOnce();
        if (input.kind == CaptureInput::Kind::camera)
            openCamera();
        else
            openOther();
        prepareDecoder();
    }

    CaptureFormat format() const override { return format_; }

    std::optional<CapturedFrame> read() override
    {
        // The stall deadline runs from the start of the read and from each packet, not from
        // each retry, so a camera that goes silent is noticed.
        armDeadline();
        for (;;) {
            if (interrupted_)
                return std::nullopt;
            // A packet may hold several frames: drain the decoder before reading on.
            const int received = avcodec_receive_frame(decoder_.get(), frame_.get());
            if (received == 0)
                return deliver();
            if (received == AVERROR_EOF)
                return std::nullopt;
            if (draining_)
                return std::nullopt;

            const int got = av_read_frame(context_.get(), packet_.get());
            if (got == AVERROR(EAGAIN)) {
                // Cameras are read without blocking, so a silent one cannot hang us.
                if (Clock::now() > deadline())
                    throw CaptureError(describe() + " stopped sending pictures.");
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            if (got == AVERROR_EOF) {
                draining_ = true;
                avcodec_send_packet(decoder_.get(), nullptr);
                continue;
            }
            if (got < 0) {
                if (interrupted_)
                    return std::nullopt;
                throw readFailure(got);
            }
            armDeadline();
            if (packet_->stream_index == streamIndex_) {
                keepJPEG(*packet_);
                // A damaged picture (a torn MJPEG frame) is skipped, not fatal.
                avcodec_send_packet(decoder_.get(), packet_.get());
            }
            av_packet_unref(packet_.get());
        }
    }

    void interrupt() override { interrupted_ = true; }

private:
    std::string describe() const
    {
        switch (input_.kind) {
        case CaptureInput::Kind::camera: return "The camera " + input_.location;
        case CaptureInput::Kind::filterGraph: return "The filter graph \"" + input_.location + "\"";
        case CaptureInput::Kind::file: break;
        }
        return "The file " + input_.location;
    }

    static int interruptCallback(void* opaque)
    {
        auto* self = static_cast<FFmpegCaptureSource*>(opaque);
        return self->interrupted_ || Clock::now().time_since_epoch().count() > self->deadlineTicks_.load();
    }

    Clock::time_point deadline() const { return Clock::time_point(Clock::duration(deadlineTicks_.load())); }

    void armDeadline()
    {
        const auto stall = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.stallSeconds));
        deadlineTicks_ = (Clock::now() + stall).time_since_epoch().count();
    }

    // Opens with the given demuxer and options; returns FFmpeg's error code (0 on success).
    int tryOpen(const AVInputFormat* demuxer, const std::string& url,
                const std::vector<std::pair<const char*, const char*>>& settings, bool nonBlocking)
    {
        AVFormatContext* raw = avformat_alloc_context();
        if (!raw)
            throw CaptureError("Out of memory opening " + input_.location);
        raw->interrupt_callback = {&FFmpegCaptureSource::interruptCallback, this};
        if (nonBlocking)
            raw->flags |= AVFMT_FLAG_NONBLOCK;
        AVDictionary* dictionary = nullptr;
        for (const auto& [key, value] : settings)
            av_dict_set(&dictionary, key, value, 0);
        armDeadline();
        const int result = avformat_open_input(&raw, url.c_str(), demuxer, &dictionary);
        av_dict_free(&dictionary);
        if (result < 0)
            return result; // avformat_open_input frees the context on failure
        context_.reset(raw);
        return 0;
    }

    void openCamera()
    {
        struct stat info {};
        if (::stat(input_.location.c_str(), &info) != 0)
            throw CaptureError("No camera at " + input_.location + ": is it plugged in?");
        if (!S_ISCHR(info.st_mode))
            throw CaptureError(input_.location + " is not a camera device.");
        const AVInputFormat* v4l2 = av_find_input_format("video4linux2");
        if (!v4l2)
            throw CaptureError("This FFmpeg has no v4l2 input; cameras cannot be read.");
        // What we want first, then what the camera offers: the driver adjusts a size or rate it
        // lacks, but refuses a pixel format it lacks.
        const std::vector<std::vector<std::pair<const char*, const char*>>> attempts = {
            {{"input_format", "mjpeg"}, {"video_size", "1280x720"}, {"framerate", "30"}},
            {{"video_size", "1280x720"}, {"framerate", "30"}},
            {},
        };
        int result = 0;
        for (const auto& settings : attempts) {
            result = tryOpen(v4l2, input_.location, settings, true);
            if (result == 0 || result == AVERROR(EBUSY) || result == AVERROR(ENOENT) || result == AVERROR(ENODEV)
                || result == AVERROR(EACCES) || result == AVERROR_EXIT)
                break;
        }
        if (result == AVERROR(EBUSY))
            throw CaptureError("The camera " + input_.location + " is busy: another program is using it.");
        if (result == AVERROR(EACCES))
            throw CaptureError("No permission to open the camera " + input_.location
                               + " (is your user in the \"video\" group?).");
        if (result == AVERROR(ENOENT) || result == AVERROR(ENODEV) || result == AVERROR(ENXIO))
            throw CaptureError("The camera " + input_.location + " is gone: is it plugged in?");
        if (result == AVERROR_EXIT)
            throw CaptureError("The camera " + input_.location + " did not respond.");
        if (result < 0)
            throw CaptureError("Cannot open the camera " + input_.location + ": " + errorText(result));
    }

    void openOther()
    {
        const bool graph = input_.kind == CaptureInput::Kind::filterGraph;
        const AVInputFormat* demuxer = graph ? av_find_input_format("lavfi") : nullptr;
        if (graph && !demuxer)
            throw CaptureError("This FFmpeg has no lavfi input; filter graphs cannot be read.");
        if (!graph) {
            // Opening a FIFO would wait for a writer that may never come.
            struct stat info {};
            if (::stat(input_.location.c_str(), &info) != 0)
                throw CaptureError("No such file: " + input_.location);
            if (!S_ISREG(info.st_mode))
                throw CaptureError(describe() + " is not a regular file.");
        }
        const int result = tryOpen(demuxer, input_.location, {}, false);
        if (result < 0) {
            if (!graph && result == AVERROR(ENOENT))
                throw CaptureError("No such file: " + input_.location);
            throw CaptureError(describe() + " cannot be opened: " + errorText(result));
        }
        armDeadline();
        if (avformat_find_stream_info(context_.get(), nullptr) < 0)
            throw CaptureError(describe() + " cannot be read as video.");
    }

    void prepareDecoder()
    {
        streamIndex_ = av_find_best_stream(context_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (streamIndex_ < 0)
            throw CaptureError(describe() + " has no video.");
        AVStream* stream = context_->streams[streamIndex_];
        if (const auto transfer = ffmpeg::highDynamicRangeTransfer(stream->codecpar->color_trc))
            throw CaptureError(ffmpeg::highDynamicRangeRefusal(describe(), *transfer) + ".");
        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        if (!codec)
            throw CaptureError(describe() + " uses a codec this system cannot decode.");
        decoder_.reset(avcodec_alloc_context3(codec));
        if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), stream->codecpar) < 0)
            throw CaptureError(describe() + " cannot be decoded.");
        decoder_->thread_count = 0;
        if (avcodec_open2(decoder_.get(), codec, nullptr) < 0)
            throw CaptureError(describe() + " cannot be decoded.");
        const int width = stream->codecpar->width, height = stream->codecpar->height;
        if (width < 1 || height < 1 || width > PixelBuffer::kMaxSide || height > PixelBuffer::kMaxSide
            || static_cast<std::int64_t>(width) * height > PixelBuffer::kMaxPixels)
            throw CaptureError(describe() + " has an unusable picture size.");
        AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
        format_ = {width, height, rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 30.0, avcodec_get_name(stream->codecpar->codec_id)};
        timeBase_ = stream->time_base;
        packet_.reset(av_packet_alloc());
        frame_.reset(av_frame_alloc());
        if (!packet_ || !frame_)
            throw CaptureError("Out of memory opening " + input_.location);
    }

    CaptureError readFailure(int code) const
    {
        if (code == AVERROR(ENODEV) || code == AVERROR(EIO) || code == AVERROR(ENXIO))
            return CaptureError(describe() + " was disconnected.");
        if (code == AVERROR_EXIT)
            return CaptureError(describe() + " stopped sending pictures.");
        return CaptureError(describe() + " cannot be read: " + errorText(code));
    }

    // MJPEG packets are whole JPEG pictures: kept until their frame is decoded, matched by
    // timestamp, since a threaded decoder may hand frames out later than their packets.
    void keepJPEG(const AVPacket& packet)
    {
        if (decoder_->codec_id != AV_CODEC_ID_MJPEG || packet.size <= 0)
            return;
        if (pendingJPEG_.size() >= kMaxPendingJPEG)
            pendingJPEG_.pop_front();
        pendingJPEG_.push_back({packet.pts, std::make_shared<const std::string>(reinterpret_cast<const char*>(packet.data),
                                                                               static_cast<std::size_t>(packet.size))});
    }

    std::shared_ptr<const std::string> takeJPEG(std::int64_t pts)
    {
        while (!pendingJPEG_.empty()) {
            auto [packetPts, bytes] = std::move(pendingJPEG_.front());
            pendingJPEG_.pop_front();
            if (packetPts == pts || pts == AV_NOPTS_VALUE)
                return bytes;
        }
        return nullptr;
    }

    std::optional<CapturedFrame> deliver()
    {
        AVFrame* frame = frame_.get();
        std::shared_ptr<const std::string> jpeg = takeJPEG(frame->pts);
        const std::int64_t pts = frame->best_effort_timestamp;
        double time;
        if (pts != AV_NOPTS_VALUE) {
            if (!firstPts_)
                firstPts_ = pts;
            time = static_cast<double>(pts - *firstPts_) * av_q2d(timeBase_);
        } else {
            time = static_cast<double>(delivered_) / format_.fps;
        }
        ++delivered_;

        PixelBufferRef image = PixelBuffer::create(frame->width, frame->height);
        if (!image)
            throw CaptureError("Out of memory reading " + input_.location);
        scale_.reset(sws_getCachedContext(scale_.release(), frame->width, frame->height,
                                          static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
                                          AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!scale_)
            throw CaptureError(describe() + " delivers pictures that cannot be converted.");
        // The picture's own matrix and range (a BT.709 phone clip, a full-range MJPEG camera).
        const std::tuple colours{scale_.get(), frame->width, frame->height, frame->format, frame->colorspace, frame->color_range};
        if (colours != colours_) {
            ffmpeg::readPictureColours(scale_.get(), *frame);
            colours_ = colours;
        }
        {
            auto lock = image->lockForWriting();
            std::uint8_t* planes[4] = {lock.baseAddress(), nullptr, nullptr, nullptr};
            int strides[4] = {static_cast<int>(image->bytesPerRow()), 0, 0, 0};
            sws_scale(scale_.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
        }
        av_frame_unref(frame);

        if (options_.realtime && input_.kind != CaptureInput::Kind::camera) {
            if (!started_)
                started_ = Clock::now();
            const auto due = *started_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(time));
            while (!interrupted_ && Clock::now() < due)
                std::this_thread::sleep_for(std::min<Clock::duration>(due - Clock::now(), std::chrono::milliseconds(20)));
        }
        return CapturedFrame{std::move(image), time, std::move(jpeg)};
    }

    CaptureInput input_;
    CaptureOptions options_;
    CaptureFormat format_;
    ffmpeg::InputContextPtr context_;
    ffmpeg::CodecContextPtr decoder_;
    ffmpeg::PacketPtr packet_;
    ffmpeg::FramePtr frame_;
    ffmpeg::ScalerPtr scale_;
    std::tuple<SwsContext*, int, int, int, AVColorSpace, AVColorRange> colours_{nullptr, 0, 0, -1, AVCOL_SPC_NB, AVCOL_RANGE_NB};
    int streamIndex_ = -1;
    AVRational timeBase_{1, 1};
    std::optional<std::int64_t> firstPts_;
    static constexpr std::size_t kMaxPendingJPEG = 16;
    std::deque<std::pair<std::int64_t, std::shared_ptr<const std::string>>> pendingJPEG_;
    std::int64_t delivered_ = 0;
    std::optional<Clock::time_point> started_;
    bool draining_ = false;
    std::atomic<bool> interrupted_ = false;
    std::atomic<Clock::rep> deadlineTicks_ = 0;
};

} // namespace

std::unique_ptr<CaptureSource> openCapture(const CaptureInput& input, const CaptureOptions& options)
{
    return std::make_unique<FFmpegCaptureSource>(input, options);
}

} // namespace quellon
