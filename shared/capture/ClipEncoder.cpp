#include "capture/ClipEncoder.h"

#include "capture/FFmpegCapture.h"
#include "platform/TemporaryFiles.h"
#include "playback/FFmpegHandles.h"
#include "playback/FFmpegVideoTags.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>
#include <functional>
#include <memory>
#include <set>
#include <system_error>
#include <vector>

namespace quellon {

namespace {

using ffmpeg::errorText;

constexpr std::string_view kCutPrefix = ".quellon-cut-";

void check(int result, const std::string& what)
{
    if (result < 0)
        throw CaptureError(what + ": " + errorText(result));
}

} // namespace

struct ClipEncoder::Impl {
    AVFormatContext* output = nullptr;
    AVCodecContext* encoder = nullptr;
    AVStream* stream = nullptr;
    SwsContext* scale = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    std::int64_t lastPts = -1;
    bool headerWritten = false;
    bool finished = false;
    std::string path;

    ~Impl()
    {
        if (output) {
            if (!(output->oformat->flags & AVFMT_NOFILE))
                avio_closep(&output->pb);
            avformat_free_context(output);
        }
        avcodec_free_context(&encoder);
        sws_freeContext(scale);
        av_frame_free(&frame);
        av_packet_free(&packet);
    }

    void drain()
    {
        for (;;) {
            const int result = avcodec_receive_packet(encoder, packet);
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
                return;
            check(result, "Cannot encode " + path);
            av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
            packet->stream_index = stream->index;
            check(av_interleaved_write_frame(output, packet), "Cannot write " + path);
        }
    }
};

ClipEncoder::ClipEncoder(const std::filesystem::path& path, int width, int height, double fps, const Tags& tags)
    : impl_(std::make_unique<Impl>())
{
    Impl& d = *impl_;
    d.path = path.string();
    check(avformat_alloc_output_context2(&d.output, nullptr, "mov", d.path.c_str()), "Cannot create " + d.path);

    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    const bool h264 = codec != nullptr;
    if (!codec)
        codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec)
        throw CaptureError("This FFmpeg has neither an H.264 nor an MJPEG encoder.");
    d.encoder = avcodec_alloc_context3(codec);
    if (!d.encoder)
        throw CaptureError("Out of memory creating " + d.path);
    const int rate = std::max(1, static_cast<int>(std::lround(fps > 0 ? fps : 30)));
    d.encoder->width = width;
    d.encoder->height = height;
    // Millisecond timestamps keep the capture's own timing, gaps included.
    d.encoder->time_base = {1, 1000};
    d.encoder->framerate = {rate, 1};
    d.encoder->gop_size = rate;
    d.encoder->max_b_frames = 0;
    // Players guess the colours of untagged video, and guess differently: say what we write.
    if (h264) {
        d.encoder->pix_fmt = AV_PIX_FMT_YUV420P;
        d.encoder->colorspace = AVCOL_SPC_BT709;
        d.encoder->color_primaries = AVCOL_PRI_BT709;
        d.encoder->color_trc = AVCOL_TRC_BT709;
        d.encoder->color_range = AVCOL_RANGE_MPEG;
        av_opt_set(d.encoder->priv_data, "preset", "veryfast", 0);
        av_opt_set(d.encoder->priv_data, "crf", "20", 0);
    } else {
        d.encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
        d.encoder->colorspace = AVCOL_SPC_SMPTE170M;
        d.encoder->color_primaries = AVCOL_PRI_BT709;
        d.encoder->color_trc = AVCOL_TRC_BT709;
        d.encoder->color_range = AVCOL_RANGE_JPEG;
        d.encoder->flags |= AV_CODEC_FLAG_QSCALE;
        d.encoder->global_quality = FF_QP2LAMBDA * 3;
    }
    if (d.output->oformat->flags & AVFMT_GLOBALHEADER)
        d.encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(d.encoder, codec, nullptr), "Cannot start the encoder for " + d.path);

    d.stream = avformat_new_stream(d.output, nullptr);
    if (!d.stream)
        throw CaptureError("Out of memory creating " + d.path);
    d.stream->time_base = d.encoder->time_base;
    d.stream->avg_frame_rate = {rate, 1};
    check(avcodec_parameters_from_context(d.stream->codecpar, d.encoder), "Cannot configure " + d.path);
    if (tags.displayMatrix && !ffmpeg::setDisplayMatrix(*d.stream, *tags.displayMatrix))
        throw CaptureError("Out of memory creating " + d.path);
    check(avio_open(&d.output->pb, d.path.c_str(), AVIO_FLAG_WRITE), "Cannot create " + d.path);
    check(avformat_write_header(d.output, nullptr), "Cannot write " + d.path);
    d.headerWritten = true;

    d.frame = av_frame_alloc();
    d.packet = av_packet_alloc();
    if (!d.frame || !d.packet)
        throw CaptureError("Out of memory creating " + d.path);
    d.frame->format = d.encoder->pix_fmt;
    d.frame->width = width;
    d.frame->height = height;
    check(av_frame_get_buffer(d.frame, 0), "Out of memory creating " + d.path);
    d.scale = sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height, d.encoder->pix_fmt, SWS_BILINEAR | SWS_ACCURATE_RND,
                             nullptr, nullptr, nullptr);
    if (!d.scale)
        throw CaptureError("Cannot convert frames for " + d.path);
    // swscale writes BT.601 unless told otherwise; the pictures must match their tags.
    sws_setColorspaceDetails(d.scale, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                             sws_getCoefficients(h264 ? SWS_CS_ITU709 : SWS_CS_ITU601), h264 ? 0 : 1, 0, 1 << 16, 1 << 16);
}

ClipEncoder::~ClipEncoder() = default;

std::string ClipEncoder::codecName() const
{
    return avcodec_get_name(impl_->encoder->codec_id);
}

void ClipEncoder::write(const PixelBuffer& image, double time)
{
    Impl& d = *impl_;
    if (image.width() != d.encoder->width || image.height() != d.encoder->height || !image.isBGRA())
        throw CaptureError("The picture size changed while recording.");
    check(av_frame_make_writable(d.frame), "Cannot encode " + d.path);
    {
        auto lock = image.lockForReading();
        const std::uint8_t* planes[4] = {lock.baseAddress(), nullptr, nullptr, nullptr};
        const int strides[4] = {static_cast<int>(image.bytesPerRow()), 0, 0, 0};
        sws_scale(d.scale, planes, strides, 0, image.height(), d.frame->data, d.frame->linesize);
    }
    const std::int64_t pts = std::max<std::int64_t>(std::llround(time * 1000), d.lastPts + 1);
    d.frame->pts = d.lastPts = pts;
    check(avcodec_send_frame(d.encoder, d.frame), "Cannot encode " + d.path);
    d.drain();
}

void ClipEncoder::finish()
{
    Impl& d = *impl_;
    if (d.finished)
        return;
    d.finished = true;
    check(avcodec_send_frame(d.encoder, nullptr), "Cannot encode " + d.path);
    d.drain();
    check(av_write_trailer(d.output), "Cannot complete " + d.path);
    check(avio_closep(&d.output->pb), "Cannot complete " + d.path);
}

namespace {

// Cuts source into a temporary file of ours in directory, then hands it to place, which gives
// it its name. Returns what place returned and whether the packets were copied.
CutResult cut(const std::filesystem::path& source, const std::filesystem::path& directory, double start, double end,
              const std::function<std::filesystem::path(OwnedTemporaryFile&)>& place)
{
    const std::filesystem::path destination = directory;
    AVFormatContext* rawInput = nullptr;
    check(avformat_open_input(&rawInput, source.c_str(), nullptr, nullptr), "Cannot open " + source.string());
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> input(rawInput, [](AVFormatContext* c) {
        avformat_close_input(&c);
    });
    check(avformat_find_stream_info(input.get(), nullptr), "Cannot read " + source.string());
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    check(index, "No video in " + source.string());
    AVStream* in = input->streams[index];
    if (const auto transfer = ffmpeg::highDynamicRangeTransfer(in->codecpar->color_trc))
        throw CaptureError(ffmpeg::highDynamicRangeRefusal(source.string(), *transfer) + ".");
    const std::optional<ffmpeg::DisplayMatrix> rotation = ffmpeg::displayMatrix(*in);
    const double timeBase = av_q2d(in->time_base);
    const AVRational rate = in->avg_frame_rate.num > 0 ? in->avg_frame_rate : AVRational{30, 1};
    const double halfFrame = 0.5 / av_q2d(rate);

    // Gather the window's packets; the first packet's time is the clip's zero.
    std::vector<AVPacket*> packets;
    auto freePackets = [&] {
        for (AVPacket* p : packets)
            av_packet_free(&p);
        packets.clear();
    };
    std::optional<std::int64_t> origin;
    bool reordered = false;
    AVPacket* packet = av_packet_alloc();
    while (packet && av_read_frame(input.get(), packet) >= 0) {
        if (packet->stream_index == index && packet->pts != AV_NOPTS_VALUE) {
            if (!origin)
                origin = packet->pts;
            const double time = static_cast<double>(packet->pts - *origin) * timeBase;
            if (time >= start - halfFrame && time <= end + halfFrame) {
                reordered |= packet->dts != packet->pts;
                packets.push_back(av_packet_clone(packet));
            }
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);

    std::unique_ptr<OwnedTemporaryFile> temporary;
    try {
        removeStaleTemporaryFiles(directory, {kCutPrefix});
        temporary = std::make_unique<OwnedTemporaryFile>(directory, kCutPrefix, ".mov");
    } catch (const std::system_error& error) {
        freePackets();
        throw CaptureError("Cannot cut " + source.string() + ": " + error.what());
    }
    const bool copy = !packets.empty() && (packets.front()->flags & AV_PKT_FLAG_KEY) && !reordered;
    try {
        if (copy) {
            AVFormatContext* output = nullptr;
            check(avformat_alloc_output_context2(&output, nullptr, "mov", temporary->path().c_str()),
                  "Cannot create " + destination.string());
            std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> out(output, [](AVFormatContext* c) {
                if (c->pb)
                    avio_closep(&c->pb);
                avformat_free_context(c);
            });
            AVStream* stream = avformat_new_stream(output, nullptr);
            if (!stream)
                throw CaptureError("Out of memory cutting " + source.string());
            check(avcodec_parameters_copy(stream->codecpar, in->codecpar), "Cannot cut " + source.string());
            stream->codecpar->codec_tag = 0;
            if (rotation && !ffmpeg::setDisplayMatrix(*stream, *rotation))
                throw CaptureError("Out of memory cutting " + source.string());
            stream->time_base = in->time_base;
            stream->avg_frame_rate = in->avg_frame_rate;
            check(avio_open(&output->pb, temporary->path().c_str(), AVIO_FLAG_WRITE), "Cannot create " + destination.string());
            check(avformat_write_header(output, nullptr), "Cannot write " + destination.string());
            const std::int64_t first = packets.front()->pts;
            for (AVPacket* p : packets) {
                p->pts -= first;
                p->dts -= first;
                p->stream_index = 0;
                p->pos = -1;
                av_packet_rescale_ts(p, in->time_base, stream->time_base);
                check(av_interleaved_write_frame(output, p), "Cannot write " + destination.string());
            }
            check(av_write_trailer(output), "Cannot complete " + destination.string());
            check(avio_closep(&output->pb), "Cannot complete " + destination.string());
        } else {
            freePackets();
            auto capture = openCapture(CaptureInput{CaptureInput::Kind::file, source.string()}, {.realtime = false});
            const CaptureFormat format = capture->format();
            // Frames come as stored; the matrix keeps showing them turned as the source did.
            ClipEncoder encoder(temporary->path(), format.width, format.height, format.fps, {rotation});
            std::optional<double> first;
            while (auto frame = capture->read()) {
                if (frame->time < start - halfFrame)
                    continue;
                if (frame->time > end + halfFrame)
                    break;
                if (!first)
                    first = frame->time;
                encoder.write(*frame->image, frame->time - *first);
            }
            if (!first)
                throw CaptureError("No frames between " + std::to_string(start) + " and " + std::to_string(end) + " s in "
                                   + source.string());
            encoder.finish();
        }
    } catch (...) {
        freePackets();
        throw;
    }
    freePackets();
    try {
        return {place(*temporary), copy};
    } catch (const std::system_error& error) {
        throw CaptureError("Cannot store the cut of " + source.string() + ": " + error.what());
    }
}

} // namespace

bool cutClip(const std::filesystem::path& source, const std::filesystem::path& destination, double start, double end,
             ExistingFile existing)
{
    const std::filesystem::path directory = destination.has_parent_path() ? destination.parent_path() : ".";
    return cut(source, directory, start, end, [&](OwnedTemporaryFile& temporary) {
               if (existing == ExistingFile::replace)
                   temporary.replace(destination);
               else if (!temporary.placeWithoutReplacing(destination))
                   throw std::system_error(EEXIST, std::generic_category(), destination.string() + " exists already");
               return destination;
           }).copied;
}

CutResult cutClipAsNewFile(const std::filesystem::path& source, const std::filesystem::path& directory,
                           const std::function<std::string(const std::set<std::string>&)>& chooseName, double start,
                           double end)
{
    return cut(source, directory, start, end, [&](OwnedTemporaryFile& temporary) {
        // Another process may take the chosen name first: then choose again from what is there.
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::set<std::string> names;
            std::error_code error;
            for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
                names.insert(it->path().filename().string());
            const std::filesystem::path file = directory / chooseName(names);
            if (temporary.placeWithoutReplacing(file))
                return file;
        }
        throw std::system_error(EEXIST, std::generic_category(), "no free name in " + directory.string());
    });
}

} // namespace quellon
