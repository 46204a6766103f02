// The re-encode: one demux/decode/convert/encode/mux loop on the calling thread, shaped like
// FFmpeg's doc/examples/transcode.c. The source's container colour tag (which this program edits)
// decides the conversion, not the bitstream's own colour description.
#include "bake/bake.h"
#include "bake/encode_settings.h"
#include "bake/ffmpeg_ptr.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include <cmath>
#include <limits>
#include <vector>

namespace tg {

namespace {

using bake::ColourTags;
// A stage's failure carries the text the bake's result shows after "Re-encode failed: ".
Status failure(std::string message) {
    return Failure{std::move(message), {}};
}

// The encoder speed preset: the fastest one whose quality stays with "medium" (bench/README.md).
constexpr const char* X264_PRESET = "superfast";
constexpr const char* X265_PRESET = "fast";
constexpr const char* VPX_CPU_USED = "4";
// Opus runs at 48 kHz whatever the source's rate.
constexpr int OPUS_RATE = 48000;

std::string avError(int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(err, text, sizeof text) < 0) return "?";
    return text;
}

bool colorspaceTakes(AVPixelFormat format) {
    switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUV420P10LE:
    case AV_PIX_FMT_YUV422P10LE:
    case AV_PIX_FMT_YUV444P10LE:
    case AV_PIX_FMT_YUV420P12LE:
    case AV_PIX_FMT_YUV422P12LE:
    case AV_PIX_FMT_YUV444P12LE:
        return true;
    default:
        return false;
    }
}

// The shape of the frames fed into the conversion graph.
struct FrameShape {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int width = 0;
    int height = 0;
    AVRational aspect{0, 1};
    bool operator==(const FrameShape& o) const {
        return format == o.format && width == o.width && height == o.height;
    }
};

class Reencode {
public:
    explicit Reencode(std::function<void(double)> onProgress)
        : onProgress_(std::move(onProgress)) {}
    Status run(const std::filesystem::path& source, const std::filesystem::path& destination);

private:
    Status openSource(const std::filesystem::path& source);
    Status openDecoder();
    Status buildGraph(const FrameShape& shape);
    Status openWriter(const std::filesystem::path& destination);
    Status openEncoder();
    void addAudio();
    bool openOpus(const AVStream* source);
    Status pump();
    Status decodeVideo(const AVPacket* packet);
    Status filterFrame(AVFrame* frame);
    Status drainGraph();
    Status encode(const AVFrame* frame);
    Status writeAudio(AVPacket* packet);
    Status decodeAudio(const AVPacket* packet);
    Status drainAudio();
    Status encodeAudio(const AVFrame* frame);
    Status finish();
    bool isMatroska() const {
        return container_ == bake::Container::matroska || container_ == bake::Container::webm;
    }

    std::function<void(double)> onProgress_;
    bake::Container container_ = bake::Container::mpeg4;
    av::Input in_;
    int videoIndex_ = -1;
    int audioIndex_ = -1;
    ColourTags colour_;
    double durationSeconds_ = std::numeric_limits<double>::quiet_NaN();
    bake::EncodeSettings settings_;
    std::int64_t videoSamples_ = 0; // samples the index lists, 0 when it lists none
    std::int64_t videoPackets_ = 0; // samples read

    av::Codec decoder_;
    av::Graph graph_;
    AVFilterContext* graphIn_ = nullptr; // owned by graph_
    AVFilterContext* graphOut_ = nullptr;
    FrameShape graphShape_;
    std::string upright_;     // filters that turn the pictures upright (Matroska outputs)
    bool swapsSides_ = false; // those filters trade width and height

    av::Output out_;
    av::Codec encoder_;
    AVStream* outVideo_ = nullptr; // owned by out_
    AVStream* outAudio_ = nullptr;
    // Set only when the audio is encoded again rather than copied.
    av::Codec audioDecoder_;
    av::Codec audioEncoder_;
    av::Graph audioGraph_;
    AVFilterContext* audioIn_ = nullptr; // owned by audioGraph_
    AVFilterContext* audioOut_ = nullptr;

    av::Packet packet_{av_packet_alloc()};
    av::Packet encoded_{av_packet_alloc()};
    av::Frame decoded_{av_frame_alloc()};
    av::Frame converted_{av_frame_alloc()};
    std::optional<bake::ProgressGate> progress_;
};

Status Reencode::openSource(const std::filesystem::path& source) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, source.c_str(), nullptr, nullptr) < 0)
        return failure("no video track");
    in_.reset(raw);
    // The container's colour tag as the demuxer read it from `colr`; probing below may replace
    // these fields with the bitstream's own description.
    std::vector<ColourTags> container;
    for (unsigned i = 0; i < in_->nb_streams; ++i) {
        const AVCodecParameters* par = in_->streams[i]->codecpar;
        container.push_back(
            {par->color_primaries, par->color_trc, par->color_space, par->color_range});
    }
    if (avformat_find_stream_info(in_.get(), nullptr) < 0) return failure("no video track");
    for (unsigned i = 0; i < in_->nb_streams; ++i) {
        const AVStream* st = in_->streams[i];
        const auto type = st->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC) &&
            videoIndex_ < 0)
            videoIndex_ = int(i);
        if (type == AVMEDIA_TYPE_AUDIO && audioIndex_ < 0) audioIndex_ = int(i);
    }
    if (videoIndex_ < 0) return failure("no video track");
    if (std::size_t(videoIndex_) < container.size()) colour_ = container[std::size_t(videoIndex_)];
    if (in_->duration != AV_NOPTS_VALUE && in_->duration > 0)
        durationSeconds_ = double(in_->duration) / AV_TIME_BASE;

    const AVStream* video = in_->streams[videoIndex_];
    const AVCodecParameters* par = video->codecpar;
    std::int64_t sampleBytes = 0;
    const int entries = avformat_index_get_entries_count(video);
    videoSamples_ = entries;
    for (int i = 0; i < entries; ++i)
        if (const AVIndexEntry* e = avformat_index_get_entry(const_cast<AVStream*>(video), i))
            sampleBytes += e->size;
    double streamSeconds = video->duration != AV_NOPTS_VALUE && video->duration > 0
                               ? double(video->duration) * av_q2d(video->time_base)
                               : durationSeconds_;
    bake::SourceFacts facts;
    facts.dataRate = bake::dataRateOf(par->bit_rate, sampleBytes, streamSeconds);
    facts.frameRate = video->avg_frame_rate.den > 0 ? av_q2d(video->avg_frame_rate) : 0;
    facts.width = par->width;
    facts.height = par->height;
    facts.codecTag = par->codec_tag;
    facts.hevc = par->codec_id == AV_CODEC_ID_HEVC;
    settings_ = bake::deriveSettings(facts, container_);
    return {};
}

Status Reencode::openDecoder() {
    const AVStream* video = in_->streams[videoIndex_];
    const AVCodec* codec = avcodec_find_decoder(video->codecpar->codec_id);
    if (!codec) return failure("reader init");
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), video->codecpar) < 0)
        return failure("reader init");
    decoder_->pkt_timebase = video->time_base;
    decoder_->thread_count = 0; // one per core
    if (avcodec_open2(decoder_.get(), codec, nullptr) < 0) return failure("reader init");
    return {};
}

// The filters between buffer and buffersink: [scale to a format the converter takes] ->
// colorspace (to BT.709, yuv420p) -> [scale to the encoder's size]. nullopt when the frames or
// their colour cannot be converted.
std::optional<std::string> conversionChain(const FrameShape& shape, ColourTags from,
                                           const bake::EncodeSettings& settings) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(shape.format);
    if (!desc) return std::nullopt;
    if (from.range == AVCOL_RANGE_UNSPECIFIED)
        from.range = shape.format == AV_PIX_FMT_YUVJ420P || shape.format == AV_PIX_FMT_YUVJ422P ||
                             shape.format == AV_PIX_FMT_YUVJ444P
                         ? AVCOL_RANGE_JPEG
                         : AVCOL_RANGE_MPEG;
    std::string chain;
    if (!colorspaceTakes(shape.format)) {
        const bool deep = desc->comp[0].depth > 8;
        const char* range = from.range == AVCOL_RANGE_JPEG ? "pc" : "tv";
        if (desc->flags & AV_PIX_FMT_FLAG_RGB) {
            // RGB has no matrix of its own: make full-range BT.709 YUV and say so.
            chain = "scale=out_color_matrix=bt709:out_range=pc,";
            from.matrix = AVCOL_SPC_BT709;
            from.range = AVCOL_RANGE_JPEG;
        } else {
            chain = std::string("scale=in_range=") + range + ":out_range=" + range + ",";
        }
        chain += deep ? "format=yuv444p12le," : "format=yuv444p,";
    }
    const auto options = bake::colourFilterOptions(from);
    if (!options) return std::nullopt;
    chain += "colorspace=" + *options;
    if (shape.width != settings.width || shape.height != settings.height)
        chain += ",scale=" + std::to_string(settings.width) + ":" + std::to_string(settings.height);
    return chain;
}

// The buffer source's arguments: what the decoded frames are.
std::string bufferArguments(const FrameShape& shape, AVRational timeBase) {
    const AVRational aspect = shape.aspect.num > 0 ? shape.aspect : AVRational{1, 1};
    return "video_size=" + std::to_string(shape.width) + "x" + std::to_string(shape.height) +
           ":pix_fmt=" + std::to_string(int(shape.format)) +
           ":time_base=" + std::to_string(timeBase.num) + "/" + std::to_string(timeBase.den) +
           ":pixel_aspect=" + std::to_string(aspect.num) + "/" + std::to_string(aspect.den);
}

// The filters that turn the picture upright as the stream's display matrix says, for outputs
// that cannot carry the matrix (FFmpeg's Matroska and WebM muxers drop it); empty when upright
// or when the angle is not a quarter turn. `swaps` says whether width and height trade places.
std::string uprightFilters(const AVStream* stream, bool& swaps) {
    swaps = false;
    std::size_t size = 0;
    const std::uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!matrix || size < 9 * sizeof(std::int32_t)) return {};
    const double turn = -av_display_rotation_get(reinterpret_cast<const std::int32_t*>(matrix));
    if (std::isnan(turn)) return {};
    const long clockwise = (std::lround(turn) % 360 + 360) % 360;
    swaps = clockwise == 90 || clockwise == 270;
    return clockwise == 90    ? "transpose=clock"
           : clockwise == 180 ? "hflip,vflip"
           : clockwise == 270 ? "transpose=cclock"
                              : "";
}

// Links the chain between the graph's two ends and configures the graph.
bool linkChain(AVFilterGraph* graph, AVFilterContext* in, AVFilterContext* out,
               const std::string& chain) {
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    int ret = AVERROR(ENOMEM);
    if (outputs && inputs) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = in;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = out;
        ret = avfilter_graph_parse_ptr(graph, chain.c_str(), &inputs, &outputs, nullptr);
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    return ret >= 0 && avfilter_graph_config(graph, nullptr) >= 0;
}

// buffer -> conversionChain -> buffersink, giving the encoder yuv420p.
Status Reencode::buildGraph(const FrameShape& shape) {
    graph_.reset();
    graphIn_ = graphOut_ = nullptr;
    if (shape.format == AV_PIX_FMT_NONE || shape.width <= 0 || shape.height <= 0)
        return failure("cannot add video output");
    auto chain = conversionChain(shape, colour_, settings_);
    if (!chain) return failure("cannot add video output");
    if (!upright_.empty()) *chain += "," + upright_;

    graph_.reset(avfilter_graph_alloc());
    if (!graph_) return failure("cannot add video output");
    const std::string source = bufferArguments(shape, in_->streams[videoIndex_]->time_base);
    if (avfilter_graph_create_filter(&graphIn_, avfilter_get_by_name("buffer"), "in",
                                     source.c_str(), nullptr, graph_.get()) < 0 ||
        avfilter_graph_create_filter(&graphOut_, avfilter_get_by_name("buffersink"), "out", nullptr,
                                     nullptr, graph_.get()) < 0)
        return failure("cannot add video output");
    const AVPixelFormat sinkFormats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE};
    if (av_opt_set_int_list(graphOut_, "pix_fmts", sinkFormats, AV_PIX_FMT_NONE,
                            AV_OPT_SEARCH_CHILDREN) < 0 ||
        !linkChain(graph_.get(), graphIn_, graphOut_, *chain))
        return failure("cannot add video output");
    graphShape_ = shape;
    return {};
}

Status Reencode::openWriter(const std::filesystem::path& destination) {
    using bake::Container;
    const char* muxer = container_ == Container::quickTime  ? "mov"
                        : container_ == Container::matroska ? "matroska"
                        : container_ == Container::webm     ? "webm"
                                                            : "mp4";
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, muxer, destination.c_str()) < 0 || !raw)
        return failure("writer init");
    out_.reset(raw);
    if (avio_open(&out_->pb, destination.c_str(), AVIO_FLAG_WRITE) < 0)
        return failure("writer init");
    return {};
}

Status Reencode::openEncoder() {
    const bool hevc = settings_.codec == bake::VideoCodec::hevc;
    const bool vp9 = settings_.codec == bake::VideoCodec::vp9;
    const AVCodec* codec = avcodec_find_encoder_by_name(vp9    ? "libvpx-vp9"
                                                        : hevc ? "libx265"
                                                               : "libx264");
    if (!codec) return failure("cannot add video input");
    encoder_.reset(avcodec_alloc_context3(codec));
    if (!encoder_) return failure("cannot add video input");
    const AVStream* video = in_->streams[videoIndex_];
    AVCodecContext* enc = encoder_.get();
    enc->width = swapsSides_ ? settings_.height : settings_.width;
    enc->height = swapsSides_ ? settings_.width : settings_.height;
    const AVRational aspect = video->codecpar->sample_aspect_ratio;
    enc->sample_aspect_ratio =
        swapsSides_ && aspect.num > 0 ? AVRational{aspect.den, aspect.num} : aspect;
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->time_base = av_buffersink_get_time_base(graphOut_);
    enc->framerate = AVRational{settings_.expectedFrameRate, 1};
    enc->bit_rate = settings_.bitRate;
    enc->gop_size = settings_.keyFrameInterval;
    // B-frames stay at the preset's default (frame reordering allowed).
    enc->color_primaries = AVCOL_PRI_BT709;
    enc->color_trc = AVCOL_TRC_BT709;
    enc->colorspace = AVCOL_SPC_BT709;
    enc->color_range = AVCOL_RANGE_MPEG;
    enc->thread_count = 0;
    // What Apple players accept; Matroska has no sample entry to carry it.
    if (hevc && !isMatroska()) enc->codec_tag = MKTAG('h', 'v', 'c', '1');
    if (out_->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av::Dict options;
    if (vp9) {
        options.set("deadline", "good");
        options.set("cpu-used", VPX_CPU_USED);
        options.set("row-mt", "1");
    } else {
        options.set("preset", hevc ? X265_PRESET : X264_PRESET);
    }
    if (hevc) options.set("x265-params", "log-level=error");
    if (avcodec_open2(enc, codec, options.get()) < 0) return failure("cannot add video input");

    outVideo_ = avformat_new_stream(out_.get(), nullptr);
    if (!outVideo_ || avcodec_parameters_from_context(outVideo_->codecpar, enc) < 0)
        return failure("cannot add video input");
    outVideo_->time_base = enc->time_base;
    outVideo_->avg_frame_rate = video->avg_frame_rate;
    // The orientation travels as the track's display matrix; Matroska's muxers drop it, so
    // there the pictures were turned upright instead.
    std::size_t size = 0;
    if (const std::uint8_t* matrix =
            av_stream_get_side_data(video, AV_PKT_DATA_DISPLAYMATRIX, &size);
        matrix && size >= 9 * sizeof(std::int32_t) && !isMatroska()) {
        std::uint8_t* copy = av_stream_new_side_data(outVideo_, AV_PKT_DATA_DISPLAYMATRIX, size);
        if (!copy) return failure("cannot add video input");
        std::copy(matrix, matrix + size, copy);
    }
    return {};
}

// Audio is copied as stored. WebM holds only Opus and Vorbis, so other audio becomes Opus there;
// elsewhere a codec the container cannot hold leaves the file without audio.
void Reencode::addAudio() {
    if (audioIndex_ < 0) return;
    const AVCodecParameters* par = in_->streams[audioIndex_]->codecpar;
    if (container_ == bake::Container::webm && par->codec_id != AV_CODEC_ID_OPUS &&
        par->codec_id != AV_CODEC_ID_VORBIS) {
        if (!openOpus(in_->streams[audioIndex_])) {
            audioDecoder_.reset();
            audioEncoder_.reset();
            audioGraph_.reset();
            outAudio_ = nullptr;
        }
        return;
    }
    if (avformat_query_codec(out_->oformat, par->codec_id, FF_COMPLIANCE_NORMAL) == 0) return;
    AVStream* st = avformat_new_stream(out_.get(), nullptr);
    if (!st) return;
    if (avcodec_parameters_copy(st->codecpar, par) < 0) return;
    st->codecpar->codec_tag = 0; // let the muxer pick the tag its container uses
    st->time_base = in_->streams[audioIndex_]->time_base;
    outAudio_ = st;
}

// decoder -> aresample/aformat -> libopus, in frames of the encoder's size. False when any of
// them cannot be had; the caller then writes no audio.
bool Reencode::openOpus(const AVStream* source) {
    const AVCodec* decoder = avcodec_find_decoder(source->codecpar->codec_id);
    const AVCodec* encoder = avcodec_find_encoder_by_name("libopus");
    if (!decoder || !encoder) return false;
    audioDecoder_.reset(avcodec_alloc_context3(decoder));
    if (!audioDecoder_ || avcodec_parameters_to_context(audioDecoder_.get(), source->codecpar) < 0)
        return false;
    AVCodecContext* dec = audioDecoder_.get();
    dec->pkt_timebase = source->time_base;
    if (avcodec_open2(dec, decoder, nullptr) < 0 || dec->sample_rate <= 0 ||
        dec->ch_layout.nb_channels <= 0)
        return false;

    audioEncoder_.reset(avcodec_alloc_context3(encoder));
    AVCodecContext* enc = audioEncoder_.get();
    if (!enc) return false;
    // Up to eight channels keep their count, in the layout the encoder names for it (Opus
    // orders surround channels as Vorbis does); more are mixed down to 7.1.
    const int channels = std::min(dec->ch_layout.nb_channels, 8);
    av_channel_layout_default(&enc->ch_layout, channels);
    for (const AVChannelLayout* l = encoder->ch_layouts; l && l->nb_channels != 0; ++l) {
        if (l->nb_channels != channels) continue;
        if (av_channel_layout_copy(&enc->ch_layout, l) < 0) return false;
        break;
    }
    char target[128] = {};
    if (av_channel_layout_describe(&enc->ch_layout, target, sizeof target) < 0) return false;
    enc->sample_rate = OPUS_RATE;
    enc->sample_fmt = AV_SAMPLE_FMT_FLT;
    enc->time_base = AVRational{1, OPUS_RATE};
    if (out_->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(enc, encoder, nullptr) < 0) return false;

    AVChannelLayout layout{};
    if (dec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&layout, dec->ch_layout.nb_channels);
    else if (av_channel_layout_copy(&layout, &dec->ch_layout) < 0)
        return false;
    char described[128] = {};
    const int describedOk = av_channel_layout_describe(&layout, described, sizeof described);
    av_channel_layout_uninit(&layout);
    const char* format = av_get_sample_fmt_name(dec->sample_fmt);
    if (describedOk < 0 || !format) return false;
    const std::string args = "time_base=" + std::to_string(source->time_base.num) + "/" +
                             std::to_string(source->time_base.den) +
                             ":sample_rate=" + std::to_string(dec->sample_rate) +
                             ":sample_fmt=" + format + ":channel_layout=" + described;
    audioGraph_.reset(avfilter_graph_alloc());
    if (!audioGraph_ ||
        avfilter_graph_create_filter(&audioIn_, avfilter_get_by_name("abuffer"), "in", args.c_str(),
                                     nullptr, audioGraph_.get()) < 0 ||
        avfilter_graph_create_filter(&audioOut_, avfilter_get_by_name("abuffersink"), "out",
                                     nullptr, nullptr, audioGraph_.get()) < 0)
        return false;
    const std::string chain =
        "aresample=" + std::to_string(OPUS_RATE) +
        ",aformat=sample_fmts=flt:channel_layouts=" + target;
    if (!linkChain(audioGraph_.get(), audioIn_, audioOut_, chain)) return false;
    av_buffersink_set_frame_size(audioOut_, unsigned(enc->frame_size));

    AVStream* st = avformat_new_stream(out_.get(), nullptr);
    if (!st || avcodec_parameters_from_context(st->codecpar, enc) < 0) return false;
    st->time_base = enc->time_base;
    outAudio_ = st;
    return true;
}

Status Reencode::filterFrame(AVFrame* frame) {
    const FrameShape shape{AVPixelFormat(frame->format), frame->width, frame->height,
                           frame->sample_aspect_ratio};
    if (!(shape == graphShape_)) {
        // The stream changed format or size midway: finish the old graph, build a new one.
        if (graph_) {
            if (int ret = av_buffersrc_add_frame_flags(graphIn_, nullptr, 0); ret < 0)
                return failure("read failed: " + avError(ret));
            if (auto status = drainGraph(); status.failed()) return status;
        }
        if (buildGraph(shape).failed()) return failure("read failed: " + avError(AVERROR(EINVAL)));
    }
    if (int ret = av_buffersrc_add_frame_flags(graphIn_, frame, AV_BUFFERSRC_FLAG_KEEP_REF);
        ret < 0)
        return failure("read failed: " + avError(ret));
    return drainGraph();
}

Status Reencode::drainGraph() {
    const AVStream* video = in_->streams[videoIndex_];
    const double start = video->start_time != AV_NOPTS_VALUE ? double(video->start_time) : 0.0;
    const AVRational tb = av_buffersink_get_time_base(graphOut_);
    for (;;) {
        int ret = av_buffersink_get_frame(graphOut_, converted_.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return {};
        if (ret < 0) return failure("read failed: " + avError(ret));
        const double seconds = converted_->pts == AV_NOPTS_VALUE
                                   ? std::numeric_limits<double>::quiet_NaN()
                                   : (double(converted_->pts) - start) * av_q2d(tb);
        progress_->frameAt(seconds);
        converted_->pict_type = AV_PICTURE_TYPE_NONE;
        Status status = encode(converted_.get());
        av_frame_unref(converted_.get());
        if (status.failed()) return status;
    }
}

Status Reencode::decodeVideo(const AVPacket* packet) {
    if (int ret = avcodec_send_packet(decoder_.get(), packet); ret < 0 && ret != AVERROR_EOF)
        return failure("read failed: " + avError(ret));
    for (;;) {
        int ret = avcodec_receive_frame(decoder_.get(), decoded_.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return {};
        if (ret < 0) return failure("read failed: " + avError(ret));
        decoded_->pts = decoded_->best_effort_timestamp;
        Status status = filterFrame(decoded_.get());
        av_frame_unref(decoded_.get());
        if (status.failed()) return status;
    }
}

// Encodes one frame (or flushes with none) and writes every packet the encoder gives back.
Status Reencode::encode(const AVFrame* frame) {
    if (int ret = avcodec_send_frame(encoder_.get(), frame); ret < 0 && ret != AVERROR_EOF)
        return failure(avError(ret));
    for (;;) {
        int ret = avcodec_receive_packet(encoder_.get(), encoded_.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return {};
        if (ret < 0) return failure(avError(ret));
        encoded_->stream_index = outVideo_->index;
        av_packet_rescale_ts(encoded_.get(), encoder_->time_base, outVideo_->time_base);
        ret = av_interleaved_write_frame(out_.get(), encoded_.get());
        av_packet_unref(encoded_.get());
        if (ret < 0) return failure(avError(ret));
    }
}

Status Reencode::writeAudio(AVPacket* packet) {
    packet->stream_index = outAudio_->index;
    av_packet_rescale_ts(packet, in_->streams[audioIndex_]->time_base, outAudio_->time_base);
    packet->pos = -1;
    if (int ret = av_interleaved_write_frame(out_.get(), packet); ret < 0)
        return failure(avError(ret));
    return {};
}

Status Reencode::decodeAudio(const AVPacket* packet) {
    if (int ret = avcodec_send_packet(audioDecoder_.get(), packet); ret < 0 && ret != AVERROR_EOF)
        return failure("read failed: " + avError(ret));
    for (;;) {
        int ret = avcodec_receive_frame(audioDecoder_.get(), decoded_.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return {};
        if (ret < 0) return failure("read failed: " + avError(ret));
        decoded_->pts = decoded_->best_effort_timestamp;
        ret = av_buffersrc_add_frame_flags(audioIn_, decoded_.get(), 0);
        av_frame_unref(decoded_.get());
        if (ret < 0) return failure("read failed: " + avError(ret));
        if (auto status = drainAudio(); status.failed()) return status;
    }
}

Status Reencode::drainAudio() {
    const AVRational tb = av_buffersink_get_time_base(audioOut_);
    for (;;) {
        int ret = av_buffersink_get_frame(audioOut_, converted_.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return {};
        if (ret < 0) return failure("read failed: " + avError(ret));
        if (converted_->pts != AV_NOPTS_VALUE)
            converted_->pts = av_rescale_q(converted_->pts, tb, audioEncoder_->time_base);
        Status status = encodeAudio(converted_.get());
        av_frame_unref(converted_.get());
        if (status.failed()) return status;
    }
}

Status Reencode::encodeAudio(const AVFrame* frame) {
    if (int ret = avcodec_send_frame(audioEncoder_.get(), frame); ret < 0 && ret != AVERROR_EOF)
        return failure(avError(ret));
    for (;;) {
        int ret = avcodec_receive_packet(audioEncoder_.get(), encoded_.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return {};
        if (ret < 0) return failure(avError(ret));
        encoded_->stream_index = outAudio_->index;
        av_packet_rescale_ts(encoded_.get(), audioEncoder_->time_base, outAudio_->time_base);
        ret = av_interleaved_write_frame(out_.get(), encoded_.get());
        av_packet_unref(encoded_.get());
        if (ret < 0) return failure(avError(ret));
    }
}

// The loop proper: the first packet has been read already.
Status Reencode::pump() {
    for (;;) {
        AVPacket* packet = packet_.get();
        Status status;
        if (packet->stream_index == videoIndex_) {
            ++videoPackets_;
            status = decodeVideo(packet);
        } else if (packet->stream_index == audioIndex_ && outAudio_)
            status = audioDecoder_ ? decodeAudio(packet) : writeAudio(packet);
        av_packet_unref(packet);
        if (status.failed()) return status;
        int ret = av_read_frame(in_.get(), packet);
        // A file cut at a sample boundary ends early without an error: the index knows better.
        if (ret == AVERROR_EOF && videoPackets_ < videoSamples_)
            return failure("read failed: " + avError(ret));
        if (ret == AVERROR_EOF) return {};
        if (ret < 0) return failure("read failed: " + avError(ret));
    }
}

// Decoder, then conversion graph, then encoder, then the trailer and the file itself.
Status Reencode::finish() {
    if (auto status = decodeVideo(nullptr); status.failed()) return status;
    if (graph_) {
        if (int ret = av_buffersrc_add_frame_flags(graphIn_, nullptr, 0); ret < 0)
            return failure("read failed: " + avError(ret));
        if (auto status = drainGraph(); status.failed()) return status;
    }
    if (auto status = encode(nullptr); status.failed()) return status;
    if (audioDecoder_) {
        if (auto status = decodeAudio(nullptr); status.failed()) return status;
        if (int ret = av_buffersrc_add_frame_flags(audioIn_, nullptr, 0); ret < 0)
            return failure("read failed: " + avError(ret));
        if (auto status = drainAudio(); status.failed()) return status;
        if (auto status = encodeAudio(nullptr); status.failed()) return status;
    }
    if (int ret = av_write_trailer(out_.get()); ret < 0) return failure(avError(ret));
    // Closing flushes the last buffered bytes; a failure there is a failed write too.
    if (int ret = avio_closep(&out_->pb); ret < 0) return failure(avError(ret));
    return {};
}

Status Reencode::run(const std::filesystem::path& source,
                     const std::filesystem::path& destination) {
    if (!packet_ || !encoded_ || !decoded_ || !converted_) return failure("reader init");
    container_ = bake::containerOf(destination);
    if (auto status = openSource(source); status.failed()) return status;
    if (isMatroska()) upright_ = uprightFilters(in_->streams[videoIndex_], swapsSides_);
    progress_.emplace(onProgress_, durationSeconds_);
    if (auto status = openDecoder(); status.failed()) return status;
    const FrameShape shape{decoder_->pix_fmt, decoder_->width, decoder_->height,
                           decoder_->sample_aspect_ratio};
    if (auto status = buildGraph(shape); status.failed()) return status;
    if (auto status = openWriter(destination); status.failed()) return status;
    if (auto status = openEncoder(); status.failed()) return status;
    addAudio();

    if (int ret = av_read_frame(in_.get(), packet_.get()); ret < 0)
        return failure("reader start: " + avError(ret));
    av::Dict options;
    if (!isMatroska()) options.set("movflags", "+write_colr"); // the BT.709 tag, also in MPEG-4
    if (int ret = avformat_write_header(out_.get(), options.get()); ret < 0)
        return failure("writer start: " + avError(ret));
    if (auto status = pump(); status.failed()) return status;
    if (auto status = finish(); status.failed()) return status;
    return {};
}

} // namespace

Status bakeToRec709Sync(const std::filesystem::path& source,
                        const std::filesystem::path& destination,
                        const std::function<void(double)>& onProgress) {
    av_log_set_level(AV_LOG_QUIET); // results are the only report
    return Reencode(onProgress).run(source, destination);
}

} // namespace tg
