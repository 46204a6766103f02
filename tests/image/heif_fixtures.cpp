#include "image/heif_fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace heiftest {

namespace {

template <typename T, auto Free> using Own = std::unique_ptr<T, decltype([](T* p) { Free(p); })>;
using Context = Own<heif_context, heif_context_free>;
using Handle = Own<heif_image_handle, heif_image_handle_release>;
using Image = Own<heif_image, heif_image_release>;

void append(Bytes& to, const Bytes& b) {
    to.insert(to.end(), b.begin(), b.end());
}

// RGB(A) at the picture's depth, or the luma plane of a grey one (a depth map).
Bytes decoded(const heif_image_handle* handle, bool alpha, bool grey = false) {
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
    const heif_chroma chroma =
        grey    ? heif_chroma_monochrome
        : alpha ? (deep ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RGBA)
                : (deep ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB);
    const heif_channel channel = grey ? heif_channel_Y : heif_channel_interleaved;
    heif_image* raw = nullptr;
    if (heif_decode_image(handle, &raw, grey ? heif_colorspace_monochrome : heif_colorspace_RGB,
                          chroma, nullptr)
            .code != heif_error_Ok)
        return {};
    const Image image(raw);
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(raw, channel, &stride);
    const int w = heif_image_get_width(raw, channel);
    const int h = heif_image_get_height(raw, channel);
    const std::size_t row = std::size_t(w) * (grey ? 1 : alpha ? 4 : 3) * (deep ? 2 : 1);
    Bytes out;
    for (int y = 0; y < h; ++y)
        out.insert(out.end(), plane + std::size_t(y) * std::size_t(stride),
                   plane + std::size_t(y) * std::size_t(stride) + row);
    return out;
}

} // namespace

Bytes fullBox(std::string_view type, std::uint8_t version, std::uint32_t flags,
              const Bytes& payload) {
    return atom(std::string(type), cat({be(std::uint32_t(version) << 24 | flags), payload}));
}

Bytes nclxBox(std::uint16_t primaries, std::uint16_t transfer, std::uint16_t matrix, bool full) {
    return atom("colr", cat({text("nclx"),
                             be(primaries, 2),
                             be(transfer, 2),
                             be(matrix, 2),
                             {std::uint8_t(full ? 0x80 : 0)}}));
}

Bytes profBox(const Bytes& icc) {
    return atom("colr", cat({text("prof"), icc}));
}

void makeHeif(const fs::path& file, const Recipe& r) {
    const heif_chroma chroma = r.mono    ? heif_chroma_monochrome
                               : r.alpha ? heif_chroma_interleaved_RGBA
                                         : heif_chroma_interleaved_RGB;
    const heif_channel channel = r.mono ? heif_channel_Y : heif_channel_interleaved;
    const int channels = r.mono ? 1 : r.alpha ? 4 : 3;
    heif_image* raw = nullptr;
    heif_image_create(64, 48, r.mono ? heif_colorspace_monochrome : heif_colorspace_RGB, chroma,
                      &raw);
    const Image image(raw);
    heif_image_add_plane(raw, channel, 64, 48, 8);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(raw, channel, &stride);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            for (int c = 0; c < channels; ++c)
                plane[y * stride + x * channels + c] =
                    std::uint8_t(c == 3 ? 64 + x * 2 : (x * (c + 1) * 3 + y * (4 - c) + r.shade));
    if (!r.icc.empty()) heif_image_set_raw_color_profile(raw, "prof", r.icc.data(), r.icc.size());
    if (r.nclx) {
        heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
        heif_nclx_color_profile_set_color_primaries(nclx, r.nclx->first);
        heif_nclx_color_profile_set_transfer_characteristics(nclx, r.nclx->second);
        heif_image_set_nclx_color_profile(raw, nclx);
        heif_nclx_color_profile_free(nclx);
    }

    const Context ctx(heif_context_alloc());
    heif_encoder* enc = nullptr;
    ASSERT_EQ(heif_context_get_encoder_for_format(ctx.get(), r.codec, &enc).code, heif_error_Ok);
    heif_encoder_set_lossy_quality(enc, 80);
    heif_encoder_set_logging_level(enc, 0);
    heif_encoding_options* opts = heif_encoding_options_alloc();
    opts->image_orientation = r.orientation;
    // With a profile, libheif writes it alone; otherwise its nclx.
    opts->macOS_compatibility_workaround_no_nclx_profile = r.icc.empty() ? 0 : 1;
    heif_image_handle* handle = nullptr;
    heif_error e = heif_context_encode_image(ctx.get(), raw, enc, opts, &handle);
    const Handle primary(handle);
    if (e.code == heif_error_Ok && r.thumbnail) {
        heif_image_handle* thumb = nullptr;
        e = heif_context_encode_thumbnail(ctx.get(), raw, handle, enc, opts, 32, &thumb);
        heif_image_handle_release(thumb);
    }
    heif_encoding_options_free(opts);
    heif_encoder_release(enc);
    ASSERT_EQ(e.code, heif_error_Ok) << e.message;
    if (r.metadata) {
        const Bytes exif = {0, 0, 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0,   1,   0x01, 0x0F, 0,   2,
                            0, 0, 0, 6, 0,   0,   0, 26, 0, 0, 0, 0, 'C', 'a', 'n',  'o',  'n', 0};
        ASSERT_EQ(
            heif_context_add_exif_metadata(ctx.get(), handle, exif.data() + 4, int(exif.size() - 4))
                .code,
            heif_error_Ok);
        const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
                                "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:"
                                "Description xmlns:dc='http://purl.org/dc/elements/1.1/' "
                                "dc:format='Secret'/></rdf:RDF></x:xmpmeta>";
        ASSERT_EQ(
            heif_context_add_XMP_metadata(ctx.get(), handle, xmp.data(), int(xmp.size())).code,
            heif_error_Ok);
    }
    ASSERT_EQ(heif_context_write_to_file(ctx.get(), file.c_str()).code, heif_error_Ok);
}

std::uint16_t Assembly::prop(const Bytes& b) {
    for (std::size_t i = 0; i < ipco.size(); ++i)
        if (ipco[i].box == b) return std::uint16_t(i + 1);
    ipco.push_back(
        {std::uint32_t(b[4]) << 24 | std::uint32_t(b[5]) << 16 | std::uint32_t(b[6]) << 8 | b[7],
         b});
    return std::uint16_t(ipco.size());
}

void Assembly::item(std::uint32_t id, const char* type, std::vector<std::uint16_t> props,
                    Bytes bytes, bool hidden, bool inIdat, const std::string& contentType) {
    h::Infe e;
    e.itemId = id;
    e.flags = hidden ? 1 : 0;
    e.itemType = std::uint32_t(std::uint8_t(type[0])) << 24 |
                 std::uint32_t(std::uint8_t(type[1])) << 16 |
                 std::uint32_t(std::uint8_t(type[2])) << 8 | std::uint8_t(type[3]);
    // An empty name, then the content type of a mime item.
    const std::string tail =
        contentType.empty() ? std::string(1, '\0') : std::string(1, '\0') + contentType + '\0';
    e.tail.assign(tail.begin(), tail.end());
    e.contentType = contentType;
    infe.push_back(e);
    h::IpmaEntry entry{id, {}};
    for (auto p : props)
        entry.props.push_back({false, p});
    if (!props.empty()) ipma.push_back(entry);
    if (!bytes.empty()) data.push_back({id, std::move(bytes), inIdat});
}

Bytes Assembly::build() const {
    h::Meta meta;
    h::Hdlr hdlr;
    hdlr.handler = h::fourcc("pict");
    hdlr.tail = Bytes(13, 0);
    meta.children.emplace_back(hdlr);
    meta.children.emplace_back(h::Pitm{0, 0, primary});
    meta.children.emplace_back(h::Iinf{0, 0, infe});
    if (!refs.empty()) meta.children.emplace_back(h::Iref{0, 0, refs});
    meta.children.emplace_back(h::Iprp{ipco, {h::Ipma{0, ipmaFlags, ipma}}, {}});
    h::Iloc iloc;
    iloc.version = 1;
    if (compactIloc) {
        iloc.offsetSize = iloc.lengthSize = 0;
        iloc.baseOffsetSize = 4;
    }
    h::Idat idat;
    for (const auto& d : data) {
        h::IlocItem it{d.item, std::uint8_t(d.inIdat ? 1 : 0), dataReference, 0, {}};
        it.extents.push_back({0, d.inIdat ? idat.data.size() : 0, d.bytes.size()});
        if (compactIloc) it.extents[0].length = 0;
        iloc.items.push_back(it);
        if (d.inIdat) append(idat.data, d.bytes);
    }
    meta.children.emplace_back(iloc);
    meta.children.emplace_back(idat);
    if (!groups.empty()) meta.children.emplace_back(h::Grpl{groups});

    Bytes ftyp;
    append(ftyp, be(brands[0], 4));
    append(ftyp, be(0, 4));
    for (auto b : brands)
        append(ftyp, be(b, 4));
    ftyp = atom("ftyp", ftyp);
    h::Writer probe;
    write(probe, meta);
    std::uint64_t at = ftyp.size() + probe.size() + 8;
    auto& items = *meta.find<h::Iloc>();
    Bytes mdat;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i].inIdat) continue;
        if (compactIloc)
            items.items[i].baseOffset = at;
        else
            items.items[i].extents[0].offset = at;
        append(mdat, data[i].bytes);
        at += data[i].bytes.size();
    }
    h::Writer w;
    w.bytes(ftyp);
    write(w, meta);
    EXPECT_TRUE(w.ok()) << "a value does not fit its field";
    Bytes out = w.take();
    append(out, atom("mdat", mdat));
    append(out, trailer);
    return out;
}

std::optional<h::Source> readSource(const Bytes& file) {
    return h::readSource(
        [&](std::uint64_t at, std::span<std::uint8_t> out) -> tg::Result<std::size_t> {
            if (at > file.size()) return std::size_t(0);
            const std::size_t n = std::min<std::size_t>(out.size(), file.size() - at);
            std::memcpy(out.data(), file.data() + at, n);
            return n;
        },
        file.size());
}

Bytes apply(const Bytes& source, const h::Plan& plan) {
    Bytes out = plan.head;
    out.resize(plan.size);
    for (const auto& r : plan.runs)
        std::memcpy(out.data() + r.to, source.data() + r.from, r.length);
    return out;
}

Tile tileOf(const Bytes& heic) {
    Tile t;
    const auto s = readSource(heic);
    if (!s) return t;
    const auto* iinf = s->meta.find<h::Iinf>();
    const auto* iprp = s->meta.find<h::Iprp>();
    const auto* iloc = s->meta.find<h::Iloc>();
    std::uint32_t id = 0;
    for (const auto& e : iinf->entries)
        if (e.itemType == h::fourcc("hvc1")) id = e.itemId;
    for (const auto& e : iprp->ipma[0].entries)
        if (e.itemId == id)
            for (const auto& a : e.props)
                if (iprp->ipco[a.index - 1].type == h::fourcc("hvcC"))
                    t.hvcC = iprp->ipco[a.index - 1].box;
    for (const auto& it : iloc->items)
        if (it.itemId == id)
            for (const auto& x : it.extents)
                t.data.insert(t.data.end(), heic.begin() + std::ptrdiff_t(it.baseOffset + x.offset),
                              heic.begin() + std::ptrdiff_t(it.baseOffset + x.offset + x.length));
    return t;
}

Shown show(const fs::path& file) {
    Shown s;
    const Context ctx(heif_context_alloc());
    // libheif 1.15 decodes the tiles of a grid in parallel and now and then mixes them up.
    heif_context_set_max_decoding_threads(ctx.get(), 0);
    heif_image_handle* raw = nullptr;
    if (heif_context_read_from_file(ctx.get(), file.c_str(), nullptr).code != heif_error_Ok ||
        heif_context_get_primary_image_handle(ctx.get(), &raw).code != heif_error_Ok)
        return s;
    const Handle primary(raw);
    s.read = true;
    s.primary = decoded(raw, heif_image_handle_has_alpha_channel(raw) != 0);
    const int thumbs = heif_image_handle_get_number_of_thumbnails(raw);
    std::vector<heif_item_id> ids(std::size_t(std::max(thumbs, 0)));
    heif_image_handle_get_list_of_thumbnail_IDs(raw, ids.data(), thumbs);
    for (auto id : ids) {
        heif_image_handle* t = nullptr;
        heif_image_handle_get_thumbnail(raw, id, &t);
        const Handle thumb(t);
        s.thumbnails.push_back(decoded(t, false));
    }
    const int depths = heif_image_handle_get_number_of_depth_images(raw);
    ids.assign(std::size_t(std::max(depths, 0)), 0);
    heif_image_handle_get_list_of_depth_image_IDs(raw, ids.data(), depths);
    for (auto id : ids) {
        heif_image_handle* d = nullptr;
        heif_image_handle_get_depth_image_handle(raw, id, &d);
        const Handle depth(d);
        s.depth.push_back(decoded(d, false, true));
    }
    s.auxiliary = heif_image_handle_get_number_of_auxiliary_images(raw, 0);
    if (const std::size_t n = heif_image_handle_get_raw_color_profile_size(raw); n > 0) {
        s.icc.resize(n);
        heif_image_handle_get_raw_color_profile(raw, s.icc.data());
    }
    heif_color_profile_nclx* nclx = nullptr;
    if (heif_image_handle_get_nclx_color_profile(raw, &nclx).code == heif_error_Ok && nclx) {
        s.nclx = std::array<int, 4>{nclx->color_primaries, nclx->transfer_characteristics,
                                    nclx->matrix_coefficients, nclx->full_range_flag};
        heif_nclx_color_profile_free(nclx);
    }
    s.metadataBlocks = heif_image_handle_get_number_of_metadata_blocks(raw, nullptr);
    return s;
}

} // namespace heiftest
