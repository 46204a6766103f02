// HEIF and AVIF tagged at the container level. Files made by libheif (and a grid assembled from
// libheif tiles) must decode exactly as before, with libheif and exiftool reading the Display P3
// profile back; trees assembled item by item pin down the refusals.
#include "fixtures/box_bytes.h"
#include "image/display_p3.h"
#include "image/heif_plan.h"
#include "image/image_fixtures.h"
#include "image/image_tagger.h"

#include <gtest/gtest.h>
#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

namespace {

using namespace imgtest;
namespace h = tg::heif;
using Bytes = std::vector<std::uint8_t>;

template <typename T, auto Free> using Own = std::unique_ptr<T, decltype([](T* p) { Free(p); })>;
using Context = Own<heif_context, heif_context_free>;
using Handle = Own<heif_image_handle, heif_image_handle_release>;
using Image = Own<heif_image, heif_image_release>;

std::size_t find(const Bytes& hay, std::string_view needle) {
    const auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? std::string::npos : std::size_t(it - hay.begin());
}
const Bytes& P3 = tg::displayP3Profile();
const Bytes SRGB = makeProfile(
    {.description = "sRGB", .red = {0.64, 0.33}, .green = {0.30, 0.60}, .version = 2.1});

Bytes nclxBox(int primaries, int transfer, int matrix, bool full) {
    return atom("colr", cat({text("nclx"), be(primaries, 2), be(transfer, 2), be(matrix, 2),
                             be(full ? 0x80 : 0, 1)}));
}
Bytes profBox(const Bytes& icc) {
    return atom("colr", cat({text("prof"), icc}));
}
// An hvcC saying 4:2:0 (chroma_format_idc at byte 16 of its payload), or 4:0:0.
Bytes hvcC(bool grey = false) {
    return atom("hvcC", cat({be(1, 1), Bytes(15, 0), be(grey ? 0xFC : 0xFD, 1), Bytes(6, 0)}));
}
Bytes ispe(int width, int height) {
    return fullBox("ispe", 0, 0, cat({be(width), be(height)}));
}

// What libheif is asked to encode: a 64x48 picture with detail in every channel.
struct Recipe {
    heif_compression_format codec = heif_compression_HEVC;
    bool alpha = false;
    bool metadata = false; // an Exif block and an XMP packet
    heif_orientation orientation = heif_orientation_normal;
    Bytes icc{};   // written instead of an nclx
    int shade = 0; // varies the picture, for tiles
    // A collection: a second picture beside the primary, each with its thumbnail, and hevc, a
    // sequence brand, among ftyp's compatible brands (as libheif's own example.heic has them).
    bool collection = false;
};

// Names a sequence brand in place of the compatible brand that repeats the major one, so that no
// offset moves.
void addHevcBrand(const fs::path& file) {
    Bytes bytes = readBytes(file);
    ASSERT_EQ(std::string(bytes.begin() + 4, bytes.begin() + 8), "ftyp");
    const std::size_t end = std::size_t(bytes[2]) << 8 | bytes[3];
    const std::string major(bytes.begin() + 8, bytes.begin() + 12);
    for (std::size_t at = 16; at + 4 <= end; at += 4)
        if (std::string(bytes.begin() + at, bytes.begin() + at + 4) == major) {
            std::copy_n("hevc", 4, bytes.begin() + at);
            return writeBytes(file, bytes);
        }
    FAIL() << "no compatible brand repeats " << major;
}

void makeHeif(const fs::path& file, const Recipe& r) {
    const int channels = r.alpha ? 4 : 3;
    const heif_channel channel = heif_channel_interleaved;
    heif_image* raw = nullptr;
    heif_image_create(64, 48, heif_colorspace_RGB,
                      r.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &raw);
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
    const auto addThumbnail = [&](heif_image_handle* of) {
        heif_image_handle* thumb = nullptr;
        e = heif_context_encode_thumbnail(ctx.get(), raw, of, enc, opts, 32, &thumb);
        heif_image_handle_release(thumb);
    };
    if (e.code == heif_error_Ok && r.collection) addThumbnail(handle);
    if (e.code == heif_error_Ok && r.collection) {
        heif_image_handle* second = nullptr;
        e = heif_context_encode_image(ctx.get(), raw, enc, opts, &second);
        if (e.code == heif_error_Ok) addThumbnail(second);
        heif_image_handle_release(second);
    }
    heif_encoding_options_free(opts);
    heif_encoder_release(enc);
    ASSERT_EQ(e.code, heif_error_Ok) << e.message;
    ASSERT_EQ(heif_context_write_to_file(ctx.get(), file.c_str()).code, heif_error_Ok);
    if (r.metadata) addCameraMetadata(file);
    if (r.collection) addHevcBrand(file);
}

// RGB(A), row after row (every picture made here is 8-bit).
Bytes decoded(const heif_image_handle* handle) {
    const bool alpha = heif_image_handle_has_alpha_channel(handle);
    heif_image* raw = nullptr;
    if (heif_decode_image(handle, &raw, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                          nullptr)
            .code != heif_error_Ok)
        return {};
    const Image image(raw);
    int stride = 0;
    const auto* plane = heif_image_get_plane_readonly(raw, heif_channel_interleaved, &stride);
    const int row = heif_image_get_width(raw, heif_channel_interleaved) * (alpha ? 4 : 3);
    Bytes out;
    for (int y = 0; y < heif_image_get_height(raw, heif_channel_interleaved); ++y)
        out.insert(out.end(), plane + y * stride, plane + y * stride + row);
    return out;
}

// How libheif shows a file: the primary with transformations applied, then its thumbnails; the
// number of auxiliary images, the colour labels and the metadata blocks.
struct Shown {
    bool read = false;
    std::vector<Bytes> pictures;
    int auxiliary = 0, metadataBlocks = 0;
    Bytes icc;
    std::optional<std::array<int, 4>> nclx; // primaries, transfer, matrix, full range
};

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
    s.pictures.push_back(decoded(raw));
    heif_item_id ids[8];
    for (int i = 0, n = heif_image_handle_get_list_of_thumbnail_IDs(raw, ids, 8); i < n; ++i) {
        heif_image_handle* t = nullptr;
        heif_image_handle_get_thumbnail(raw, ids[i], &t);
        s.pictures.push_back(decoded(Handle(t).get()));
    }
    s.auxiliary = heif_image_handle_get_number_of_auxiliary_images(raw, 0);
    s.icc.resize(heif_image_handle_get_raw_color_profile_size(raw));
    heif_image_handle_get_raw_color_profile(raw, s.icc.data());
    heif_color_profile_nclx* nclx = nullptr;
    if (heif_image_handle_get_nclx_color_profile(raw, &nclx).code == heif_error_Ok && nclx) {
        s.nclx = std::array<int, 4>{nclx->color_primaries, nclx->transfer_characteristics,
                                    nclx->matrix_coefficients, nclx->full_range_flag};
        heif_nclx_color_profile_free(nclx);
    }
    s.metadataBlocks = heif_image_handle_get_number_of_metadata_blocks(raw, nullptr);
    return s;
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

struct Item {
    std::uint32_t id;
    std::string type;
    Bytes props = {}; // 1-based indexes into ipco
    Bytes data = {};
    bool hidden = false, inIdat = false;
};

// ftyp, meta and mdat, every field written here; iloc and ipma in their narrow forms.
struct Assembly {
    std::string brands = "heicmif1";
    std::uint32_t primary = 1;
    std::vector<Bytes> ipco;
    std::vector<Item> items;
    Bytes iref; // its children; no box when empty
    std::uint16_t dataReference = 0;
    Bytes trailer; // top-level boxes after mdat

    // The index of a property box, added once.
    std::uint8_t prop(const Bytes& box) {
        if (std::find(ipco.begin(), ipco.end(), box) == ipco.end()) ipco.push_back(box);
        return std::uint8_t(std::find(ipco.begin(), ipco.end(), box) - ipco.begin() + 1);
    }
    Bytes meta(std::uint64_t mdatAt) const {
        Bytes infe, props, ipma, iloc, idat;
        std::uint32_t associated = 0, located = 0;
        for (const auto& p : ipco)
            props = cat({props, p});
        for (const auto& i : items) {
            infe = cat({infe, fullBox("infe", 2, i.hidden,
                                      cat({be(i.id, 2), be(0, 2), text(i.type), Bytes{0}}))});
            if (!i.props.empty()) {
                ipma = cat({ipma, be(i.id, 2), be(i.props.size(), 1), i.props});
                ++associated;
            }
            if (i.data.empty()) continue;
            const std::uint64_t at = i.inIdat ? idat.size() : mdatAt;
            iloc = cat({iloc, be(i.id, 2), be(i.inIdat, 2), be(dataReference, 2), be(1, 2), be(at),
                        be(i.data.size())});
            if (i.inIdat)
                idat = cat({idat, i.data});
            else
                mdatAt += i.data.size();
            ++located;
        }
        return fullBox("meta", 0, 0,
                       cat({fullBox("hdlr", 0, 0, cat({be(0), text("pict"), Bytes(13, 0)})),
                            fullBox("pitm", 0, 0, be(primary, 2)),
                            fullBox("iinf", 0, 0, cat({be(items.size(), 2), infe})),
                            iref.empty() ? Bytes{} : fullBox("iref", 0, 0, iref),
                            atom("iprp", cat({atom("ipco", props),
                                              fullBox("ipma", 0, 0, cat({be(associated), ipma}))})),
                            fullBox("iloc", 1, 0, cat({be(0x4400, 2), be(located, 2), iloc})),
                            atom("idat", idat)}));
    }
    Bytes build() const {
        const Bytes ftyp = atom("ftyp", cat({text(brands.substr(0, 4)), be(0), text(brands)}));
        Bytes mdat;
        for (const auto& i : items)
            if (!i.inIdat) mdat = cat({mdat, i.data});
        return cat({ftyp, meta(ftyp.size() + meta(0).size() + 8), atom("mdat", mdat), trailer});
    }
};

Assembly onePicture() {
    Assembly a;
    a.items.push_back({1, "hvc1", {a.prop(hvcC()), a.prop(ispe(64, 48))}, text("CODED-PICTURE-1")});
    return a;
}

// A grid of four libheif tiles, its descriptor in idat, the way cameras store large pictures.
// Tiles and grid share one colour property, rewritten where it stands.
void makeGrid(const fs::path& file) {
    Assembly a;
    a.primary = 5;
    const auto colour = a.prop(nclxBox(1, 13, 6, true));
    for (std::uint32_t i = 1; i <= 4; ++i) {
        const auto tileFile = file.parent_path() / ("tile" + std::to_string(i) + ".heic");
        makeHeif(tileFile, {.shade = int(i) * 40});
        // The one item libheif wrote: its hvcC and its coded bytes.
        const Bytes tile = readBytes(tileFile);
        const auto s = readSource(tile);
        ASSERT_TRUE(s);
        Item item{i, "hvc1", {}, {}, true};
        for (const auto& p : s->meta.find<h::Iprp>()->ipco)
            if (p.type == h::fourcc("hvcC"))
                item.props = {a.prop(p.box), a.prop(ispe(64, 48)), colour};
        const auto& located = s->meta.find<h::Iloc>()->items.at(0);
        const auto from =
            tile.begin() + std::ptrdiff_t(located.baseOffset + located.extents.at(0).offset);
        item.data.assign(from, from + std::ptrdiff_t(located.extents[0].length));
        ASSERT_FALSE(item.props.empty() || item.data.empty());
        a.items.push_back(item);
    }
    a.items.push_back(
        {5, "grid", {a.prop(ispe(128, 96)), colour}, {0, 0, 1, 1, 0, 128, 0, 96}, false, true});
    a.iref = atom("dimg", fields("2:5 2:4 2:1 2:2 2:3 2:4"));
    writeBytes(file, a.build());
}

// The ICC profile among an item's properties, as the tagger reads them back.
Bytes iccOf(const h::Source& source, std::uint32_t item) {
    const auto& iprp = *source.meta.find<h::Iprp>();
    for (const auto& m : iprp.ipma)
        for (const auto& e : m.entries)
            for (const auto& a : e.props)
                if (e.itemId == item && a.index)
                    if (const auto b = h::iccOf(iprp.ipco[a.index - 1]); !b.empty())
                        return Bytes(b.begin(), b.end());
    return {};
}

struct Made {
    const char* name;
    Recipe recipe;
    void (*make)(const fs::path&) = nullptr; // instead of the recipe
};

class HeifTagging : public testing::TestWithParam<Made> {};

TEST_P(HeifTagging, SamePicturesLabelledDisplayP3) {
    const Made& m = GetParam();
    if (m.recipe.codec == heif_compression_AV1 && !heif_have_encoder_for_format(m.recipe.codec))
        GTEST_SKIP() << "libheif has no AV1 encoder here";
    TempDir dir;
    const auto file = dir / m.name;
    if (m.make)
        m.make(file);
    else
        makeHeif(file, m.recipe);
    fs::permissions(file, fs::perms(0640));
    const auto original = dir / ("original" + file.extension().string());
    fs::copy_file(file, original);
    const Shown before = show(original);
    ASSERT_TRUE(before.read && !before.pictures[0].empty());
    ASSERT_EQ(before.metadataBlocks, m.recipe.metadata ? 2 : 0);

    EXPECT_EQ(tg::processImageCore(file).message, TAGGED);
    const Shown after = show(file);
    ASSERT_TRUE(after.read);
    EXPECT_TRUE(after.pictures == before.pictures) << "a picture changed";
    EXPECT_EQ(after.auxiliary, before.auxiliary);
    EXPECT_EQ(after.icc, P3);
    if (before.nclx) { // matrix and range kept, so the samples turn into the same RGB
        ASSERT_TRUE(after.nclx);
        EXPECT_EQ(*after.nclx, (std::array{12, 13, (*before.nclx)[2], (*before.nclx)[3]}));
    }
    EXPECT_EQ(after.metadataBlocks, 0);
    EXPECT_EQ(find(readBytes(file), "Secret"), std::string::npos);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
    EXPECT_TRUE(leftovers(dir.path()).empty());
    const auto meta = exif(file, "-ProfileDescription -XMP:all -EXIF:all");
    EXPECT_EQ(meta.value("ProfileDescription", ""), "Display P3");
    EXPECT_EQ(meta.size(), 2u) << meta.dump(); // SourceFile and the description alone

    // Every picture shown, every tile and every thumbnail carries the profile; auxiliary images
    // and what they are made of do not.
    const auto source = readSource(readBytes(file));
    ASSERT_TRUE(source);
    // libheif writes an alpha plane as a grid of one tile.
    std::set<std::uint32_t> plain;
    if (const auto* iref = source->meta.find<h::Iref>())
        for (int pass = 0; pass < 2; ++pass)
            for (const auto& ref : iref->refs) {
                if (ref.type == h::fourcc("auxl")) plain.insert(ref.from);
                if (ref.type == h::fourcc("dimg") && plain.contains(ref.from))
                    plain.insert(ref.to.begin(), ref.to.end());
            }
    for (const auto& e : source->meta.find<h::Iinf>()->entries)
        EXPECT_EQ(iccOf(*source, e.itemId) == P3, !plain.contains(e.itemId)) << "item " << e.itemId;
    EXPECT_EQ(tg::processImageCore(file).message, "Already Display-P3");
}

INSTANTIATE_TEST_SUITE_P(
    Files, HeifTagging,
    testing::Values(Made{"srgb.heic", {.icc = SRGB}}, Made{"alpha.heic", {.alpha = true}},
                    Made{"metadata.heic", {.metadata = true}},
                    Made{"turned.heic",
                         {.orientation = heif_orientation_rotate_90_cw_then_flip_vertically}},
                    Made{"grid.heic", {}, makeGrid}, Made{"collection.heic", {.collection = true}},
                    Made{"photo.avif", {.codec = heif_compression_AV1, .alpha = true}}),
    [](const auto& info) { return rowName(info.param.name); });

h::Plan planOf(const Bytes& file) {
    const auto s = readSource(file);
    return s ? h::planTagging(*s) : h::Plan{};
}

TEST(HeifPlan, Decisions) {
    struct Case {
        const char* name;
        tg::ImageCheck check;
        std::vector<Bytes> props = {}; // colour or pixel properties added to the picture
        void (*make)(Assembly&) = nullptr;
        std::string reason = {}; // the refusal's detail
    };
    using C = tg::ImageCheck;
    const char* const GREY = "monochrome image";
    const char* const BROKEN = "no primary image we can follow";
    const Case cases[] = {
        {"data in another file",
         C::refused,
         {},
         [](Assembly& a) { a.dataReference = 1; },
         "image data in another file"},
        {"grey pixi", C::notRgb, {fullBox("pixi", 0, 0, {1, 8})}, nullptr, GREY},
        {"grey hvcC", C::notRgb, {}, [](Assembly& a) { a.ipco[0] = hvcC(true); }, GREY},
        {"grey av1C",
         C::notRgb,
         {},
         [](Assembly& a) {
             a.items[0].type = "av01";
             a.ipco[0] = atom("av1C", {0x81, 0x00, 0x10, 0x00});
         },
         GREY},
        {"movie track",
         C::refused,
         {},
         [](Assembly& a) { a.trailer = atom("moov", {}); },
         "an image sequence"},
        {"pq", C::refused, {nclxBox(9, 16, 9, false)}, nullptr, "HDR: PQ transfer (16)"},
        {"p3 profile", C::alreadyP3, {profBox(P3)}},
        {"p3 nclx", C::alreadyP3, {nclxBox(12, 13, 6, true)}},
        {"p3 profile but bt709 nclx", C::taggable, {profBox(P3), nclxBox(1, 1, 1, false)}},
        {"index past ipco",
         C::unreadable,
         {},
         [](Assembly& a) { a.items[0].props.push_back(9); },
         BROKEN},
        {"one id twice",
         C::unreadable,
         {},
         [](Assembly& a) { a.items.push_back(a.items[0]); },
         BROKEN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Assembly a = onePicture();
        for (const auto& p : c.props)
            a.items[0].props.push_back(a.prop(p));
        if (c.make) c.make(a);
        const auto plan = planOf(a.build());
        EXPECT_EQ(plan.check, c.check);
        EXPECT_EQ(plan.reason, c.reason);
    }
}

} // namespace
