// HEIF/HEIC: the primary image is decoded in its own colour model (YCbCr planes at their own bit
// depth and chroma layout, alpha kept) and encoded again with HEVC at the encoder's best quality,
// labelled Display P3. Rotation, mirroring and crop are applied on decode, so the new file shows
// the picture the same way while carrying no transformations of its own.
#include "image/display_p3.h"
#include "image/formats.h"

#include <libheif/heif.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tg {

namespace {

struct ContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleFree {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageFree {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct EncoderFree {
    void operator()(heif_encoder* e) const { heif_encoder_release(e); }
};
struct DecodingOptionsFree {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};
struct EncodingOptionsFree {
    void operator()(heif_encoding_options* o) const { heif_encoding_options_free(o); }
};
struct NclxFree {
    void operator()(heif_color_profile_nclx* n) const { heif_nclx_color_profile_free(n); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleFree>;
using Image = std::unique_ptr<heif_image, ImageFree>;
using Encoder = std::unique_ptr<heif_encoder, EncoderFree>;
using DecodingOptions = std::unique_ptr<heif_decoding_options, DecodingOptionsFree>;
using EncodingOptions = std::unique_ptr<heif_encoding_options, EncodingOptionsFree>;
using Nclx = std::unique_ptr<heif_color_profile_nclx, NclxFree>;

// CICP codes that together mean Display P3: P3 primaries with D65 white, sRGB transfer.
constexpr std::uint16_t CICP_P3_PRIMARIES = 12;
constexpr std::uint16_t CICP_SRGB_TRANSFER = 13;
// An embedded profile larger than this is not Display P3 (ours is well under a kilobyte).
constexpr std::size_t MAX_ICC = 16 * 1024 * 1024;

bool ok(const heif_error& e) {
    return e.code == heif_error_Ok;
}

Context openContext(const std::filesystem::path& source) {
    Context ctx(heif_context_alloc());
    if (!ctx || !ok(heif_context_read_from_file(ctx.get(), source.c_str(), nullptr)))
        return nullptr;
    return ctx;
}

Handle primaryHandle(heif_context* ctx) {
    heif_image_handle* h = nullptr;
    if (!ok(heif_context_get_primary_image_handle(ctx, &h))) return nullptr;
    return Handle(h);
}

std::optional<std::vector<std::uint8_t>> iccOf(const heif_image_handle* handle) {
    const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle);
    if (size == 0 || size > MAX_ICC) return std::nullopt;
    std::vector<std::uint8_t> icc(size);
    if (!ok(heif_image_handle_get_raw_color_profile(handle, icc.data()))) return std::nullopt;
    return icc;
}

Nclx nclxOf(const heif_image_handle* handle) {
    heif_color_profile_nclx* n = nullptr;
    if (!ok(heif_image_handle_get_nclx_color_profile(handle, &n))) return nullptr;
    return Nclx(n);
}

bool labelledP3(const heif_image_handle* handle) {
    switch (heif_image_handle_get_color_profile_type(handle)) {
    case heif_color_profile_type_prof:
    case heif_color_profile_type_rICC: {
        const auto icc = iccOf(handle);
        return icc && isDisplayP3(*icc);
    }
    case heif_color_profile_type_nclx: {
        const Nclx n = nclxOf(handle);
        return n && n->color_primaries == CICP_P3_PRIMARIES &&
               n->transfer_characteristics == CICP_SRGB_TRANSFER;
    }
    default:
        return false;
    }
}

// Decodes into the coded colour model, so no conversion stands between source and output.
Image decodeNative(const heif_image_handle* handle, bool applyTransformations) {
    DecodingOptions opts(heif_decoding_options_alloc());
    if (!opts) return nullptr;
    opts->ignore_transformations = applyTransformations ? 0 : 1;
    heif_image* img = nullptr;
    if (!ok(heif_decode_image(handle, &img, heif_colorspace_undefined, heif_chroma_undefined,
                              opts.get())))
        return nullptr;
    return Image(img);
}

const char* chromaName(heif_chroma chroma) {
    switch (chroma) {
    case heif_chroma_420:
        return "420";
    case heif_chroma_422:
        return "422";
    case heif_chroma_444:
        return "444";
    default:
        return nullptr;
    }
}

// The new file's colour signal: Display P3 primaries and transfer, while the matrix and range
// stay those the YCbCr samples were coded with.
bool labelP3(heif_image* img, const heif_image_handle* source) {
    Nclx nclx = nclxOf(source);
    if (!nclx) {
        heif_color_profile_nclx* n = nullptr;
        if (ok(heif_image_get_nclx_color_profile(img, &n))) nclx.reset(n);
    }
    if (!nclx) nclx.reset(heif_nclx_color_profile_alloc());
    if (!nclx) return false;
    if (!ok(heif_nclx_color_profile_set_color_primaries(nclx.get(), CICP_P3_PRIMARIES)) ||
        !ok(heif_nclx_color_profile_set_transfer_characteristics(nclx.get(), CICP_SRGB_TRANSFER)) ||
        !ok(heif_image_set_nclx_color_profile(img, nclx.get())))
        return false;
    const std::vector<std::uint8_t>& icc = displayP3Profile();
    return !icc.empty() &&
           ok(heif_image_set_raw_color_profile(img, "prof", icc.data(), icc.size()));
}

Encoder bestHevcEncoder(heif_context* ctx, heif_chroma chroma) {
    heif_encoder* e = nullptr;
    if (!ok(heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &e))) return nullptr;
    Encoder enc(e);
    if (!ok(heif_encoder_set_lossy_quality(enc.get(), 100))) return nullptr;
    heif_encoder_set_logging_level(enc.get(), 0);
    // Keep the source's chroma layout rather than the encoder's default of 4:2:0.
    if (const char* name = chromaName(chroma))
        heif_encoder_set_parameter_string(enc.get(), "chroma", name);
    return enc;
}

struct FdSink {
    int fd = -1;
    std::uint64_t pos = 0;
};

heif_error writeToFd(heif_context*, const void* data, size_t size, void* userdata) {
    auto* sink = static_cast<FdSink*>(userdata);
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(sink->fd, p, size, off_t(sink->pos));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            return {heif_error_Encoding_error, heif_suberror_Cannot_write_output_data,
                    "write failed"};
        p += n;
        size -= std::size_t(n);
        sink->pos += std::uint64_t(n);
    }
    return {heif_error_Ok, heif_suberror_Unspecified, "Success"};
}

} // namespace

ImageInfo inspectHeif(const std::filesystem::path& source) {
    ImageInfo info;
    const Context ctx = openContext(source);
    if (!ctx) return info;
    const Handle handle = primaryHandle(ctx.get());
    if (!handle) return info;
    if (labelledP3(handle.get())) {
        info.check = ImageCheck::alreadyP3;
        return info;
    }
    // libheif tells the colour model only by decoding; the geometry is not needed for that.
    const Image img = decodeNative(handle.get(), false);
    if (!img) return info;
    const heif_colorspace space = heif_image_get_colorspace(img.get());
    info.check = space == heif_colorspace_YCbCr || space == heif_colorspace_RGB
                     ? ImageCheck::taggable
                     : ImageCheck::notRgb;
    return info;
}

bool writeHeif(const std::filesystem::path& source, const ImageInfo&, int out) {
    const Context in = openContext(source);
    if (!in) return false;
    const Handle handle = primaryHandle(in.get());
    if (!handle) return false;
    const Image img = decodeNative(handle.get(), true);
    if (!img) return false;
    const heif_colorspace space = heif_image_get_colorspace(img.get());
    if (space != heif_colorspace_YCbCr && space != heif_colorspace_RGB) return false;
    if (!labelP3(img.get(), handle.get())) return false;
    heif_image_set_premultiplied_alpha(img.get(),
                                       heif_image_handle_is_premultiplied_alpha(handle.get()));

    const Context ctx(heif_context_alloc());
    if (!ctx) return false;
    const Encoder enc = bestHevcEncoder(ctx.get(), heif_image_get_chroma_format(img.get()));
    if (!enc) return false;
    const EncodingOptions opts(heif_encoding_options_alloc());
    if (!opts) return false;
    opts->save_alpha_channel = 1;
    if (!ok(heif_context_encode_image(ctx.get(), img.get(), enc.get(), opts.get(), nullptr)))
        return false;

    FdSink sink{out};
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = writeToFd;
    return ok(heif_context_write(ctx.get(), &writer, &sink));
}

} // namespace tg
