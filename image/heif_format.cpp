// HEIF/HEIC: the primary image is decoded as it is shown (RGB at its own bit depth, alpha kept,
// rotation, mirroring and crop applied) and encoded again with HEVC, lossless where the encoder
// offers it, labelled Display P3. The new file shows the same picture the same way while carrying
// no transformations of its own.
#include "base/owned.h"
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

using Context = Owned<heif_context, heif_context_free>;
using Handle = Owned<heif_image_handle, heif_image_handle_release>;
using Image = Owned<heif_image, heif_image_release>;
using Encoder = Owned<heif_encoder, heif_encoder_release>;
using DecodingOptions = Owned<heif_decoding_options, heif_decoding_options_free>;
using EncodingOptions = Owned<heif_encoding_options, heif_encoding_options_free>;
using Nclx = Owned<heif_color_profile_nclx, heif_nclx_color_profile_free>;

// CICP codes that together mean Display P3: P3 primaries with D65 white, sRGB transfer.
constexpr std::uint16_t CICP_P3_PRIMARIES = 12;
constexpr std::uint16_t CICP_SRGB_TRANSFER = 13;
constexpr std::uint16_t CICP_BT601_MATRIX = 6;
// HDR transfers (PQ, HLG): such samples are not sRGB-coded, and labelling them so would change the
// picture.
constexpr std::uint16_t CICP_PQ_TRANSFER = 16;
constexpr std::uint16_t CICP_HLG_TRANSFER = 18;
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

bool hdrSignal(const heif_image_handle* handle) {
    const Nclx n = nclxOf(handle);
    return n && (n->transfer_characteristics == CICP_PQ_TRANSFER ||
                 n->transfer_characteristics == CICP_HLG_TRANSFER);
}

// For the colour-model test only: libheif tells it only by decoding.
Image decodeAny(const heif_image_handle* handle) {
    DecodingOptions opts(heif_decoding_options_alloc());
    if (!opts) return nullptr;
    opts->ignore_transformations = 1;
    heif_image* img = nullptr;
    if (!ok(heif_decode_image(handle, &img, heif_colorspace_undefined, heif_chroma_undefined,
                              opts.get())))
        return nullptr;
    return Image(img);
}

// The picture as a viewer shows it: RGB(A) at the source's bit depth, rotation, mirroring and
// crop applied, converted with whatever matrix and range the source declares.
Image decodeShown(const heif_image_handle* handle, int bits, bool alpha) {
    heif_chroma chroma = alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
    if (bits > 8)
        chroma = alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE;
    heif_image* img = nullptr;
    if (!ok(heif_decode_image(handle, &img, heif_colorspace_RGB, chroma, nullptr))) return nullptr;
    return Image(img);
}

// The new file's colour signal. Primaries and transfer say Display P3, like the profile; the
// matrix and range are libheif's defaults (BT.601, full range), so a reader that ignores the
// HEVC stream's own signal still converts the samples back exactly as they were written.
Nclx p3Signal() {
    Nclx nclx(heif_nclx_color_profile_alloc());
    if (!nclx || !ok(heif_nclx_color_profile_set_color_primaries(nclx.get(), CICP_P3_PRIMARIES)) ||
        !ok(heif_nclx_color_profile_set_transfer_characteristics(nclx.get(), CICP_SRGB_TRANSFER)) ||
        !ok(heif_nclx_color_profile_set_matrix_coefficients(nclx.get(), CICP_BT601_MATRIX)))
        return nullptr;
    nclx->full_range_flag = 1;
    return nclx;
}

bool labelP3(heif_image* img, const heif_color_profile_nclx* nclx) {
    const std::vector<std::uint8_t>& icc = displayP3Profile();
    return !icc.empty() && ok(heif_image_set_nclx_color_profile(img, nclx)) &&
           ok(heif_image_set_raw_color_profile(img, "prof", icc.data(), icc.size()));
}

// Lossless HEVC, where the encoder offers it, keeps the samples up to the rounding of the colour
// conversion and is quicker than lossy at quality 100; otherwise the best lossy quality. Chroma
// stays 4:2:0 (Main and Main 10 profiles), as cameras write it: 4:4:4 needs the range
// extensions, which many phones and viewers cannot decode.
Encoder bestHevcEncoder(heif_context* ctx) {
    heif_encoder* e = nullptr;
    if (!ok(heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &e))) return nullptr;
    Encoder enc(e);
    if (!ok(heif_encoder_set_lossy_quality(enc.get(), 100))) return nullptr;
    heif_encoder_set_lossless(enc.get(), 1);
    heif_encoder_set_logging_level(enc.get(), 0);
    heif_encoder_set_parameter_string(enc.get(), "chroma", "420");
    // x265's own default; libheif's "slow" costs much time for little gain when lossless.
    heif_encoder_set_parameter_string(enc.get(), "preset", "medium");
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
    if (hdrSignal(handle.get())) {
        info.check = ImageCheck::notRgb;
        return info;
    }
    const Image img = decodeAny(handle.get());
    if (!img) return info;
    info.check = heif_image_get_colorspace(img.get()) == heif_colorspace_monochrome
                     ? ImageCheck::notRgb
                     : ImageCheck::taggable;
    return info;
}

bool writeHeif(const std::filesystem::path& source, const ImageInfo&, int out) {
    const Context in = openContext(source);
    if (!in) return false;
    const Handle handle = primaryHandle(in.get());
    if (!handle) return false;
    const int bits = heif_image_handle_get_luma_bits_per_pixel(handle.get());
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    if (bits < 8 || bits > 16) return false;
    const Image img = decodeShown(handle.get(), bits, alpha);
    if (!img) return false;
    const Nclx nclx = p3Signal();
    if (!nclx || !labelP3(img.get(), nclx.get())) return false;
    heif_image_set_premultiplied_alpha(img.get(),
                                       heif_image_handle_is_premultiplied_alpha(handle.get()));

    const Context ctx(heif_context_alloc());
    if (!ctx) return false;
    const Encoder enc = bestHevcEncoder(ctx.get());
    if (!enc) return false;
    const EncodingOptions opts(heif_encoding_options_alloc());
    if (!opts) return false;
    opts->save_alpha_channel = 1;
    opts->output_nclx_profile = nclx.get();
    if (!ok(heif_context_encode_image(ctx.get(), img.get(), enc.get(), opts.get(), nullptr)))
        return false;

    FdSink sink{out};
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = writeToFd;
    return ok(heif_context_write(ctx.get(), &writer, &sink));
}

} // namespace tg
