#include "Platform/Media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}
#include <libheif/heif.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

namespace vellumar::platform {

namespace {

    template <typename Type, auto release> struct Releaser {
        void operator()(Type* pointer) const noexcept { release(pointer); }
    };

    // FFmpeg's freeing functions take the address of the pointer so they can clear it.
    template <typename Type, auto release> struct IndirectReleaser {
        void operator()(Type* pointer) const noexcept { release(&pointer); }
    };

    using HEIFContext = std::unique_ptr<heif_context, Releaser<heif_context, heif_context_free>>;
    using HEIFHandle
        = std::unique_ptr<heif_image_handle, Releaser<heif_image_handle, heif_image_handle_release>>;
    using HEIFImage = std::unique_ptr<heif_image, Releaser<heif_image, heif_image_release>>;
    using FormatContext
        = std::unique_ptr<AVFormatContext, IndirectReleaser<AVFormatContext, avformat_close_input>>;
    using CodecContext
        = std::unique_ptr<AVCodecContext, IndirectReleaser<AVCodecContext, avcodec_free_context>>;
    using Packet = std::unique_ptr<AVPacket, IndirectReleaser<AVPacket, av_packet_free>>;
    using Frame = std::unique_ptr<AVFrame, IndirectReleaser<AVFrame, av_frame_free>>;
    using ScaleContext = std::unique_ptr<SwsContext, Releaser<SwsContext, sws_freeContext>>;

    // Only these demuxers ever see an upload. The others include playlist and concatenation formats
    // that would open whatever files or addresses the upload names.
    constexpr const char* kVideoDemuxers = "mov,mp4,matroska,webm";

    bool isPlausibleSize(std::int64_t width, std::int64_t height)
    {
        return width > 0 && height > 0 && width <= maxDecodedPixels / height;
    }

    // How a shown pixel (x', y') is found from a stored one (x, y): x' = a x + c y, y' = b x + d y,
    // each coefficient -1, 0 or 1, before the image is moved back to the origin. Only the quarter
    // turns and mirror images of the stored picture are representable.
    struct Orientation {
        int a = 1;
        int b = 0;
        int c = 0;
        int d = 1;

        bool isIdentity() const { return a == 1 && b == 0 && c == 0 && d == 1; }
        bool swapsAxes() const { return a == 0; }
    };

    int sign(std::int32_t value) { return value > 0 ? 1 : (value < 0 ? -1 : 0); }

    // The display matrix (ISO/IEC 14496-12 §8.2.2.3, 16.16 fixed point in its first two columns)
    // as a quarter-turn orientation. For each shown axis, the stored axis with the larger weight
    // wins, so a matrix that also scales still reads correctly. A rotation by any other angle is
    // not followed: the frame is then given as stored.
    Orientation orientationFromDisplayMatrix(const std::int32_t* matrix)
    {
        Orientation orientation;
        bool shownXFromX = std::abs(static_cast<std::int64_t>(matrix[0]))
            >= std::abs(static_cast<std::int64_t>(matrix[3]));
        bool shownYFromX
            = std::abs(static_cast<std::int64_t>(matrix[1])) > std::abs(static_cast<std::int64_t>(matrix[4]));
        if (shownXFromX == shownYFromX)
            return {};
        orientation.a = shownXFromX ? sign(matrix[0]) : 0;
        orientation.c = shownXFromX ? 0 : sign(matrix[3]);
        orientation.b = shownYFromX ? sign(matrix[1]) : 0;
        orientation.d = shownYFromX ? 0 : sign(matrix[4]);
        if (orientation.a + orientation.c == 0 || orientation.b + orientation.d == 0)
            return {};
        return orientation;
    }

    // Where one stored coordinate lands along a shown axis.
    int along(int coefficient, int value, int extent)
    {
        if (coefficient > 0)
            return value;
        if (coefficient < 0)
            return extent - 1 - value;
        return 0;
    }

    RGBImage oriented(RGBImage stored, Orientation orientation)
    {
        if (orientation.isIdentity())
            return stored;
        RGBImage shown;
        shown.width = orientation.swapsAxes() ? stored.height : stored.width;
        shown.height = orientation.swapsAxes() ? stored.width : stored.height;
        shown.pixels.resize(stored.pixels.size());
        for (int y = 0; y < stored.height; ++y) {
            for (int x = 0; x < stored.width; ++x) {
                int shownX = along(orientation.a, x, stored.width) + along(orientation.c, y, stored.height);
                int shownY = along(orientation.b, x, stored.width) + along(orientation.d, y, stored.height);
                std::size_t from = (static_cast<std::size_t>(y) * stored.width + x) * 3;
                std::size_t to = (static_cast<std::size_t>(shownY) * shown.width + shownX) * 3;
                std::memcpy(&shown.pixels[to], &stored.pixels[from], 3);
            }
        }
        return shown;
    }

    void silenceFFmpegOnce()
    {
        // FFmpeg writes diagnostics about damaged input to standard error by default; an upload's
        // damage is expected and reported as a missing frame instead.
        static std::once_flag once;
        std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
    }

}

std::optional<RGBImage> decodeHEIF(const std::filesystem::path& file)
{
    HEIFContext context(heif_context_alloc());
    if (!context || heif_context_read_from_file(context.get(), file.c_str(), nullptr).code != heif_error_Ok)
        return std::nullopt;
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok)
        return std::nullopt;
    HEIFHandle handle(rawHandle);
    if (!isPlausibleSize(
            heif_image_handle_get_width(handle.get()), heif_image_handle_get_height(handle.get())))
        return std::nullopt;

    heif_image* rawImage = nullptr;
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr)
            .code
        != heif_error_Ok)
        return std::nullopt;
    HEIFImage image(rawImage);
    int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (!plane)
        return std::nullopt;
    return packedRGBRows(plane, width, height, stride);
}

std::optional<RGBImage> packedRGBRows(const std::uint8_t* plane, int width, int height, int stride)
{
    if (!isPlausibleSize(width, height) || stride < static_cast<std::int64_t>(width) * 3)
        return std::nullopt;
    RGBImage packed { width, height,
        std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3) };
    std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    for (int row = 0; row < height; ++row)
        std::memcpy(&packed.pixels[row * rowBytes], plane + static_cast<std::size_t>(row) * stride, rowBytes);
    return packed;
}

std::optional<std::string> encodeJPEG(const RGBImage& image, double quality)
{
    if (!isPlausibleSize(image.width, image.height)
        || image.pixels.size() != static_cast<std::size_t>(image.width) * image.height * 3)
        return std::nullopt;
    std::unique_ptr<void, Releaser<void, tjDestroy>> compressor(tjInitCompress());
    if (!compressor)
        return std::nullopt;
    double clamped = std::isnan(quality) ? 0 : std::clamp(quality, 0.0, 1.0);
    int jpegQuality = std::max(1, static_cast<int>(std::lround(clamped * 100)));
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    int status = tjCompress2(compressor.get(), image.pixels.data(), image.width, image.width * 3,
        image.height, TJPF_RGB, &buffer, &size, TJSAMP_420, jpegQuality, 0);
    std::unique_ptr<unsigned char, Releaser<unsigned char, tjFree>> owned(buffer);
    if (status != 0 || !buffer)
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(buffer), size);
}

struct VideoFrameSource::State {
    Options options;
    FormatContext format;
    CodecContext codec;
    AVStream* stream = nullptr;
    Orientation orientation;
    Packet packet;
    Frame frame;
    Frame held;
    ScaleContext scaler;

    std::int64_t streamTimestamp(std::int64_t microseconds) const
    {
        return av_rescale_q(microseconds, AV_TIME_BASE_Q, stream->time_base);
    }

    std::int64_t presentationStartMicroseconds() const
    {
        return format->start_time == AV_NOPTS_VALUE ? 0 : format->start_time;
    }

    // Scales to fit the box as the frame is shown (pixel aspect and orientation included), then
    // turns the scaled picture upright.
    std::optional<RGBImage> upright(const AVFrame& decoded)
    {
        if (!isPlausibleSize(decoded.width, decoded.height))
            return std::nullopt;
        double shownWidth = decoded.width;
        AVRational aspect = decoded.sample_aspect_ratio;
        if (aspect.num > 0 && aspect.den > 0)
            shownWidth *= av_q2d(aspect);
        double uprightWidth = orientation.swapsAxes() ? decoded.height : shownWidth;
        double uprightHeight = orientation.swapsAxes() ? shownWidth : decoded.height;
        double scale = std::min({ 1.0, options.maxWidth / uprightWidth, options.maxHeight / uprightHeight });
        int width = std::max(1, static_cast<int>(std::lround(uprightWidth * scale)));
        int height = std::max(1, static_cast<int>(std::lround(uprightHeight * scale)));
        if (orientation.swapsAxes())
            std::swap(width, height);

        scaler.reset(sws_getCachedContext(scaler.release(), decoded.width, decoded.height,
            static_cast<AVPixelFormat>(decoded.format), width, height, AV_PIX_FMT_RGB24, SWS_AREA, nullptr,
            nullptr, nullptr));
        if (!scaler)
            return std::nullopt;
        RGBImage stored { width, height,
            std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3) };
        std::uint8_t* planes[4] = { stored.pixels.data(), nullptr, nullptr, nullptr };
        int strides[4] = { width * 3, 0, 0, 0 };
        if (sws_scale(scaler.get(), decoded.data, decoded.linesize, 0, decoded.height, planes, strides)
            != height)
            return std::nullopt;
        return oriented(std::move(stored), orientation);
    }
};

VideoFrameSource::VideoFrameSource(std::unique_ptr<State> state)
    : m_state(std::move(state))
{
}

VideoFrameSource::~VideoFrameSource() = default;

std::unique_ptr<VideoFrameSource> VideoFrameSource::open(const std::filesystem::path& file, Options options)
{
    silenceFFmpegOnce();
    auto state = std::make_unique<State>();
    state->options = options;

    AVDictionary* settings = nullptr;
    av_dict_set(&settings, "format_whitelist", kVideoDemuxers, 0);
    av_dict_set(&settings, "protocol_whitelist", "file", 0);
    // The prefix keeps a name with a colon from being read as some other protocol's address.
    std::string address = "file:" + file.string();
    AVFormatContext* rawFormat = nullptr;
    int opened = avformat_open_input(&rawFormat, address.c_str(), nullptr, &settings);
    av_dict_free(&settings);
    if (opened < 0)
        return nullptr;
    state->format.reset(rawFormat);
    if (avformat_find_stream_info(state->format.get(), nullptr) < 0)
        return nullptr;

    const AVCodec* decoder = nullptr;
    int streamIndex = av_find_best_stream(state->format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (streamIndex < 0 || !decoder)
        return nullptr;
    state->stream = state->format->streams[streamIndex];
    const AVCodecParameters& parameters = *state->stream->codecpar;
    if (!isPlausibleSize(parameters.width, parameters.height))
        return nullptr;

    state->codec.reset(avcodec_alloc_context3(decoder));
    if (!state->codec || avcodec_parameters_to_context(state->codec.get(), &parameters) < 0)
        return nullptr;
    state->codec->pkt_timebase = state->stream->time_base;
    if (avcodec_open2(state->codec.get(), decoder, nullptr) < 0)
        return nullptr;

    std::size_t matrixSize = 0;
    const std::uint8_t* matrix
        = av_stream_get_side_data(state->stream, AV_PKT_DATA_DISPLAYMATRIX, &matrixSize);
    if (matrix && matrixSize >= 9 * sizeof(std::int32_t)) {
        std::int32_t values[9];
        std::memcpy(values, matrix, sizeof values);
        state->orientation = orientationFromDisplayMatrix(values);
    }

    state->packet.reset(av_packet_alloc());
    state->frame.reset(av_frame_alloc());
    state->held.reset(av_frame_alloc());
    if (!state->packet || !state->frame || !state->held)
        return nullptr;
    return std::unique_ptr<VideoFrameSource>(new VideoFrameSource(std::move(state)));
}

double VideoFrameSource::durationSeconds() const
{
    const State& state = *m_state;
    if (state.format->duration != AV_NOPTS_VALUE && state.format->duration > 0)
        return static_cast<double>(state.format->duration) / AV_TIME_BASE;
    if (state.stream->duration != AV_NOPTS_VALUE && state.stream->duration > 0)
        return static_cast<double>(state.stream->duration) * av_q2d(state.stream->time_base);
    return std::numeric_limits<double>::quiet_NaN();
}

std::optional<RGBImage> VideoFrameSource::frameAt(double seconds)
{
    State& state = *m_state;
    constexpr double kMicroseconds = 1e6;
    if (!std::isfinite(seconds) || seconds < 0 || seconds > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    std::int64_t requestedMicroseconds
        = state.presentationStartMicroseconds() + std::llround(seconds * kMicroseconds);
    std::int64_t tolerance = std::llround(std::max(0.0, state.options.toleranceSeconds) * kMicroseconds);
    std::int64_t requested = state.streamTimestamp(requestedMicroseconds);
    std::int64_t latest = state.streamTimestamp(requestedMicroseconds + tolerance);

    // From the key frame at or before the requested time, so the frame shown then can be decoded.
    if (av_seek_frame(state.format.get(), state.stream->index, requested, AVSEEK_FLAG_BACKWARD) < 0)
        return std::nullopt;
    avcodec_flush_buffers(state.codec.get());
    av_frame_unref(state.held.get());

    // Frames leave the decoder in presentation order: the last one at or before the requested
    // time is the one on screen then, known once a later frame arrives or the video ends.
    bool draining = false;
    while (true) {
        int received = avcodec_receive_frame(state.codec.get(), state.frame.get());
        if (received == 0) {
            std::int64_t timestamp = state.frame->best_effort_timestamp;
            if (timestamp == AV_NOPTS_VALUE) {
                av_frame_unref(state.frame.get());
                continue;
            }
            if (timestamp <= requested) {
                av_frame_unref(state.held.get());
                av_frame_move_ref(state.held.get(), state.frame.get());
                continue;
            }
            // A video whose first frame comes a little after the requested time shows that one.
            const AVFrame& chosen = state.held->data[0] || timestamp > latest ? *state.held : *state.frame;
            std::optional<RGBImage> image;
            if (chosen.data[0])
                image = state.upright(chosen);
            av_frame_unref(state.frame.get());
            return image;
        }
        if (received == AVERROR_EOF || (received == AVERROR(EAGAIN) && draining)) {
            if (!state.held->data[0])
                return std::nullopt;
            return state.upright(*state.held);
        }
        if (received != AVERROR(EAGAIN))
            return std::nullopt;

        if (av_read_frame(state.format.get(), state.packet.get()) < 0) {
            avcodec_send_packet(state.codec.get(), nullptr);
            draining = true;
            continue;
        }
        // A damaged packet only costs its own frames; later ones may still decode.
        if (state.packet->stream_index == state.stream->index)
            avcodec_send_packet(state.codec.get(), state.packet.get());
        av_packet_unref(state.packet.get());
    }
}

}
