#pragma once

// What a video stream says about how to show its pictures: the display matrix (rotation) and
// the colour tags. Shared by the decoder, the capture and the encoder so that every path reads
// and writes them the same way. Include only from .cpp files that use FFmpeg.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace quellon::ffmpeg {

using DisplayMatrix = std::array<std::int32_t, 9>;

/// The stream's display matrix, if it has one.
inline std::optional<DisplayMatrix> displayMatrix(const AVStream& stream)
{
    const std::uint8_t* bytes = nullptr;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 29, 100)
    const AVPacketSideData* data = av_packet_side_data_get(stream.codecpar->coded_side_data,
                                                           stream.codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    if (data && data->size >= sizeof(DisplayMatrix))
        bytes = data->data;
#else
    std::size_t size = 0;
    bytes = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (size < sizeof(DisplayMatrix))
        bytes = nullptr;
#endif
    if (!bytes)
        return std::nullopt;
    DisplayMatrix matrix;
    std::memcpy(matrix.data(), bytes, sizeof matrix);
    return matrix;
}

/// Gives an output stream a display matrix (before its header is written); false when out of
/// memory.
inline bool setDisplayMatrix(AVStream& stream, const DisplayMatrix& matrix)
{
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 29, 100)
    AVPacketSideData* data = av_packet_side_data_new(&stream.codecpar->coded_side_data, &stream.codecpar->nb_coded_side_data,
                                                     AV_PKT_DATA_DISPLAYMATRIX, sizeof matrix, 0);
    if (!data)
        return false;
    std::memcpy(data->data, matrix.data(), sizeof matrix);
#else
    std::uint8_t* data = av_stream_new_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, sizeof matrix);
    if (!data)
        return false;
    std::memcpy(data, matrix.data(), sizeof matrix);
#endif
    return true;
}

/// Clockwise quarter turns (0 to 3) a display matrix asks for, rounded to the nearest one.
inline int quarterTurns(const std::optional<DisplayMatrix>& matrix)
{
    if (!matrix)
        return 0;
    // The matrix's angle is counter-clockwise; the picture is shown turned the other way.
    const double clockwise = -av_display_rotation_get(matrix->data());
    if (!std::isfinite(clockwise))
        return 0;
    const long turns = std::lround(clockwise / 90.0) % 4;
    return static_cast<int>(turns < 0 ? turns + 4 : turns);
}

/// The name of a high-dynamic-range transfer (HLG, PQ), or nothing for one shown as it is.
/// Such pictures need tone mapping to look right on an ordinary (BT.709) screen.
inline std::optional<std::string> highDynamicRangeTransfer(int transfer)
{
    if (transfer == AVCOL_TRC_ARIB_STD_B67)
        return "HLG";
    if (transfer == AVCOL_TRC_SMPTE2084)
        return "PQ (HDR10)";
    return std::nullopt;
}

/// The sentence every reader gives for a high-dynamic-range clip.
inline std::string highDynamicRangeRefusal(const std::string& what, const std::string& transfer)
{
    return what + " is HDR video (" + transfer
        + "), which Quellon cannot show without distorting its colours; convert it to SDR (BT.709) first, or record "
          "with HDR switched off";
}

/// Makes scaler read YUV pictures in the matrix and range the picture states (untagged ones as
/// BT.601 limited range, the usual default) and write full-range RGB. No effect on RGB sources.
inline void readPictureColours(SwsContext* scaler, const AVFrame& picture)
{
    int* inverse = nullptr;
    int* table = nullptr;
    int sourceRange = 0, targetRange = 0, brightness = 0, contrast = 0, saturation = 0;
    if (!scaler
        || sws_getColorspaceDetails(scaler, &inverse, &sourceRange, &table, &targetRange, &brightness, &contrast, &saturation)
            < 0)
        return;
    const int space = picture.colorspace == AVCOL_SPC_UNSPECIFIED || picture.colorspace == AVCOL_SPC_RGB ? SWS_CS_DEFAULT
                                                                                                        : picture.colorspace;
    const bool fullRange = picture.color_range == AVCOL_RANGE_JPEG || picture.format == AV_PIX_FMT_YUVJ420P
        || picture.format == AV_PIX_FMT_YUVJ422P || picture.format == AV_PIX_FMT_YUVJ444P;
    sws_setColorspaceDetails(scaler, sws_getCoefficients(space), fullRange ? 1 : 0, table, 1, brightness, contrast, saturation);
}

} // namespace quellon::ffmpeg
