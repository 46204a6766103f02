// Owning handles for the FFmpeg objects of one bake: each is freed on every path by its deleter.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
}

#include <memory>

namespace tg::av {

struct InputDeleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
// Closes the file (when the muxer owns one) before freeing the context.
struct OutputDeleter {
    void operator()(AVFormatContext* c) const {
        if (c->oformat && !(c->oformat->flags & AVFMT_NOFILE)) avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct GraphDeleter {
    void operator()(AVFilterGraph* g) const { avfilter_graph_free(&g); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

using Input = std::unique_ptr<AVFormatContext, InputDeleter>;
using Output = std::unique_ptr<AVFormatContext, OutputDeleter>;
using Codec = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Graph = std::unique_ptr<AVFilterGraph, GraphDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

// An options dictionary that frees whatever the library left in it.
class Dict {
public:
    Dict() = default;
    Dict(const Dict&) = delete;
    Dict& operator=(const Dict&) = delete;
    ~Dict() { av_dict_free(&d_); }
    void set(const char* key, const char* value) { av_dict_set(&d_, key, value, 0); }
    AVDictionary** get() { return &d_; }

private:
    AVDictionary* d_ = nullptr;
};

} // namespace tg::av
