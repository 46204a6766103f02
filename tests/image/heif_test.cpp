// HEIF and AVIF tagged at the container level: files made by libheif (and a grid assembled from
// libheif tiles) must decode exactly as before, with libheif and exiftool reading the Display P3
// profile back; trees assembled item by item pin down the rules for shared properties, index
// widths, metadata items and refusals.
#include "image/display_p3.h"
#include "image/heif_fixtures.h"
#include "image/image_fixtures.h"
#include "image/image_tagger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace {

using namespace heiftest;
using imgtest::TAGGED;
using tgtest::readBytes;
using tgtest::TempDir;
using tgtest::writeBytes;

std::size_t find(const Bytes& hay, std::string_view needle) {
    const auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? std::string::npos : std::size_t(it - hay.begin());
}
const Bytes& p3() {
    return tg::displayP3Profile();
}
Bytes srgbProfile() {
    return imgtest::makeProfile(
        {.description = "sRGB", .red = {0.64, 0.33}, .green = {0.30, 0.60}, .version = 2.1});
}

// A tagged file as the tagger reads it back, and the properties of its items.
struct Tagged {
    Bytes file;
    h::Source source;
    std::vector<const h::Property*> props(std::uint32_t item) const {
        std::vector<const h::Property*> out;
        for (const auto& m : source.meta.find<h::Iprp>()->ipma)
            for (const auto& e : m.entries)
                if (e.itemId == item)
                    for (const auto& a : e.props)
                        if (a.index) out.push_back(&source.meta.find<h::Iprp>()->ipco[a.index - 1]);
        return out;
    }
    std::optional<h::Nclx> nclx(std::uint32_t item) const {
        for (const auto* p : props(item))
            if (const auto n = h::nclxOf(*p)) return n;
        return std::nullopt;
    }
    Bytes icc(std::uint32_t item) const {
        for (const auto* p : props(item))
            if (const auto b = h::iccOf(*p); !b.empty()) return Bytes(b.begin(), b.end());
        return {};
    }
};

// A grid of four libheif tiles, its descriptor in idat, the way cameras store large pictures.
// Tiles and grid share one colour property, rewritten where it stands.
void makeGrid(const fs::path& file) {
    Assembly a;
    a.primary = 5;
    const auto colour = a.prop(nclxBox(1, 13, 6, true));
    h::Reference dimg{h::fourcc("dimg"), 5, {}};
    for (std::uint32_t i = 1; i <= 4; ++i) {
        const auto tileFile = file.parent_path() / ("tile" + std::to_string(i) + ".heic");
        makeHeif(tileFile, {.shade = int(i) * 40});
        const Tile t = tileOf(readBytes(tileFile));
        ASSERT_FALSE(t.hvcC.empty() || t.data.empty());
        a.item(i, "hvc1",
               {a.prop(t.hvcC), a.prop(fullBox("ispe", 0, 0, Bytes{0, 0, 0, 64, 0, 0, 0, 48})),
                colour},
               t.data, true);
        dimg.to.push_back(i);
    }
    a.item(5, "grid", {a.prop(fullBox("ispe", 0, 0, Bytes{0, 0, 0, 128, 0, 0, 0, 96})), colour},
           {0, 0, 1, 1, 0, 128, 0, 96}, false, true);
    a.refs.push_back(dimg);
    writeBytes(file, a.build());
}

// Same length, so the box tree stays as libheif wrote it: the alpha plane becomes a depth map.
void alphaToDepth(const fs::path& file) {
    Bytes b = readBytes(file);
    const auto at = find(b, "urn:mpeg:hevc:2015:auxid:1");
    ASSERT_NE(at, std::string::npos);
    b[at + 25] = '2';
    writeBytes(file, b);
}

enum class Extra { none, depth, grid };
struct Made {
    const char* name;
    Recipe recipe;
    Extra extra = Extra::none;
};
void PrintTo(const Made& m, std::ostream* os) {
    *os << m.name;
}

class HeifTagging : public testing::TestWithParam<Made> {};

TEST_P(HeifTagging, SamePicturesLabelledDisplayP3) {
    const Made& m = GetParam();
    if (m.recipe.codec == heif_compression_AV1 && !heif_have_encoder_for_format(m.recipe.codec))
        GTEST_SKIP() << "libheif has no AV1 encoder here";
    TempDir dir;
    const auto file = dir / m.name;
    if (m.extra == Extra::grid)
        makeGrid(file);
    else
        makeHeif(file, m.recipe);
    if (m.extra == Extra::depth) alphaToDepth(file);
    fs::permissions(file, fs::perms(0640));
    const auto original = dir / ("original" + file.extension().string());
    fs::copy_file(file, original);
    const Shown before = show(original);
    ASSERT_TRUE(before.read && !before.primary.empty());
    if (m.recipe.metadata) {
        ASSERT_EQ(before.metadataBlocks, 2);
    }

    const auto r = tg::processImageCore(file);
    EXPECT_EQ(r.message, TAGGED);
    const Shown after = show(file);
    ASSERT_TRUE(after.read);
    EXPECT_TRUE(after.primary == before.primary) << "primary picture changed";
    EXPECT_TRUE(after.thumbnails == before.thumbnails) << "thumbnail changed";
    EXPECT_TRUE(after.depth == before.depth) << "depth map changed";
    EXPECT_EQ(after.auxiliary, before.auxiliary);
    EXPECT_EQ(after.icc, p3());
    if (before.nclx) { // matrix and range kept, so the samples turn into the same RGB
        ASSERT_TRUE(after.nclx);
        EXPECT_EQ((*after.nclx)[0], 12);
        EXPECT_EQ((*after.nclx)[1], 13);
        EXPECT_EQ((*after.nclx)[2], (*before.nclx)[2]);
        EXPECT_EQ((*after.nclx)[3], (*before.nclx)[3]);
    }
    EXPECT_EQ(after.metadataBlocks, 0);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
    EXPECT_TRUE(imgtest::leftovers(dir.path()).empty());

    const auto meta = imgtest::exif(file, "-ProfileDescription -XMP:all -EXIF:all");
    EXPECT_EQ(meta.value("ProfileDescription", ""), "Display P3");
    EXPECT_EQ(meta.size(), 2u) << meta.dump(); // SourceFile and the description alone
    if (m.recipe.metadata) {
        EXPECT_EQ(find(readBytes(file), "Secret"), std::string::npos);
    }

    // Every picture shown, every tile and every thumbnail carries the profile; auxiliary images
    // and what they are made of do not.
    const auto source = readSource(readBytes(file));
    ASSERT_TRUE(source);
    const Tagged t{{}, *source};
    std::set<std::uint32_t> plain;
    if (const auto* iref = source->meta.find<h::Iref>())
        for (int pass = 0; pass < 2; ++pass)
            for (const auto& ref : iref->refs) {
                if (ref.type == h::fourcc("auxl")) plain.insert(ref.from);
                if (ref.type == h::fourcc("dimg") && plain.contains(ref.from))
                    plain.insert(ref.to.begin(), ref.to.end());
            }
    for (const auto& e : source->meta.find<h::Iinf>()->entries)
        EXPECT_EQ(t.icc(e.itemId) == p3(), !plain.contains(e.itemId)) << "item " << e.itemId;
    EXPECT_EQ(tg::processImageCore(file).message, "Already Display-P3");
}

INSTANTIATE_TEST_SUITE_P(
    Files, HeifTagging,
    testing::Values(
        Made{"photo.heic", {}}, Made{"srgb.heic", {.icc = srgbProfile()}},
        Made{"alpha.heic", {.alpha = true}}, Made{"thumbnail.heic", {.thumbnail = true}},
        Made{"metadata.heic", {.metadata = true}},
        Made{"turned.heic", {.orientation = heif_orientation_rotate_90_cw_then_flip_vertically}},
        Made{"depth.heic", {.alpha = true}, Extra::depth}, Made{"grid.heic", {}, Extra::grid},
        Made{"photo.avif", {.codec = heif_compression_AV1, .alpha = true}}),
    [](const testing::TestParamInfo<Made>& info) {
        std::string name = info.param.name;
        name[name.find('.')] = '_';
        return name;
    });

// Files libheif wrote that are left as they are, with the reason (the assembled trees below
// hold the other decisions).
TEST(HeifRefused, ReportedAndLeftAsTheyAre) {
    struct Case {
        const char* name;
        Recipe recipe;
        void (*spoil)(Bytes&);
        const char* message;
    };
    const Case cases[] = {
        {"grey.heic", {.mono = true}, nullptr, "Couldn't tag image"},
        {"p3.heic", {.icc = p3()}, nullptr, "Already Display-P3"},
        {"pq.heic",
         {.nclx = std::pair<std::uint16_t, std::uint16_t>{9, 16}},
         nullptr,
         "Couldn't tag image"},
        {"cut.heic", {}, [](Bytes& b) { b.resize(b.size() / 2); }, "Can't read image"},
        {"cutmeta.heic", {}, [](Bytes& b) { b.resize(find(b, "iprp")); }, "Can't read image"},
        {"spoiled.heic", {}, [](Bytes& b) { ++b[find(b, "ipma") - 1]; }, "Can't read image"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = dir / c.name;
        makeHeif(file, c.recipe);
        if (c.spoil) {
            Bytes b = readBytes(file);
            c.spoil(b);
            writeBytes(file, b);
        }
        const auto bytes = readBytes(file);
        EXPECT_EQ(tg::processImageCore(file).message, c.message);
        EXPECT_EQ(readBytes(file), bytes);
        EXPECT_TRUE(imgtest::leftovers(dir.path()).empty());
    }
}

// ---- trees assembled item by item ----

// An hvcC saying 4:2:0 (chroma_format_idc at byte 16 of its payload), or 4:0:0.
Bytes hvcC(bool grey = false) {
    Bytes payload(23, 0);
    payload[0] = 1;
    payload[16] = grey ? 0xFC : 0xFD;
    return atom("hvcC", payload);
}
const Bytes ISPE = fullBox("ispe", 0, 0, Bytes{0, 0, 0, 64, 0, 0, 0, 48});

Assembly onePicture() {
    Assembly a;
    a.item(1, "hvc1", {a.prop(hvcC()), a.prop(ISPE)}, text("CODED-PICTURE-1"));
    return a;
}

h::Plan planOf(const Bytes& file) {
    const auto s = readSource(file);
    return s ? h::planTagging(*s) : h::Plan{};
}

// Tags in memory and checks what holds for every result: it reads back, says Display P3 when
// judged again, and every coded byte string of the source is still there.
Tagged tag(const Assembly& a) {
    const Bytes source = a.build();
    const h::Plan plan = planOf(source);
    EXPECT_EQ(plan.check, tg::ImageCheck::taggable);
    Tagged t{apply(source, plan), {}};
    const auto reread = readSource(t.file);
    EXPECT_TRUE(reread);
    if (!reread) return t;
    t.source = *reread;
    EXPECT_EQ(h::planTagging(t.source).check, tg::ImageCheck::alreadyP3);
    for (const auto& d : a.data) {
        if (find(d.bytes, "SECRET") != std::string::npos) continue;
        EXPECT_NE(find(t.file, std::string(d.bytes.begin(), d.bytes.end())), std::string::npos);
    }
    return t;
}

TEST(HeifPlan, PropertySharedWithAnAlphaPlaneStaysForIt) {
    Assembly a;
    const auto shared = a.prop(nclxBox(1, 13, 1, false));
    a.item(1, "hvc1", {a.prop(hvcC()), a.prop(ISPE), shared}, text("CODED-PICTURE-1"));
    a.item(2, "hvc1",
           {a.prop(hvcC(true)), a.prop(ISPE),
            a.prop(fullBox("auxC", 0, 0, text({"urn:mpeg:hevc:2015:auxid:1\0", 27}))), shared},
           text("CODED-ALPHA-2"), true);
    a.refs.push_back({h::fourcc("auxl"), 2, {1}});
    const Tagged t = tag(a);
    EXPECT_EQ(t.icc(1), p3());
    ASSERT_TRUE(t.nclx(1));
    EXPECT_EQ(t.nclx(1)->primaries, 12);
    EXPECT_EQ(t.nclx(1)->matrix, 1);
    EXPECT_FALSE(t.nclx(1)->fullRange);
    EXPECT_EQ(t.nclx(2)->primaries, 1); // the alpha plane's own, untouched
    EXPECT_TRUE(t.icc(2).empty());
}

// Properties only tagged pictures use are rewritten where they stand; a new profile goes before
// the rotation, and the order the writer chose is otherwise kept.
TEST(HeifPlan, ColourRewrittenWhereItStandsAndAddedBeforeTheRotation) {
    Assembly a;
    const auto irot = a.prop(atom("irot", {1}));
    a.item(1, "hvc1",
           {a.prop(hvcC()), a.prop(ISPE), a.prop(profBox(srgbProfile())),
            a.prop(nclxBox(1, 13, 5, true)), irot},
           text("CODED-PICTURE-1"));
    a.item(2, "hvc1", {a.prop(hvcC()), a.prop(ISPE), irot}, text("CODED-PICTURE-2"));
    const std::size_t before = a.ipco.size();
    const Tagged t = tag(a);
    EXPECT_EQ(t.source.meta.find<h::Iprp>()->ipco.size(), before); // the profile is shared
    EXPECT_EQ(t.icc(1), p3());
    EXPECT_EQ(t.nclx(1)->primaries, 12);
    EXPECT_EQ(t.nclx(1)->transfer, 13);
    EXPECT_EQ(t.nclx(1)->matrix, 5);
    EXPECT_TRUE(t.nclx(1)->fullRange);
    EXPECT_EQ(t.props(1).back()->type, h::fourcc("irot"));
    ASSERT_EQ(t.props(2).size(), 4u);
    EXPECT_EQ(h::iccOf(*t.props(2)[2]).size(), p3().size());
    EXPECT_EQ(t.props(2)[3]->type, h::fourcc("irot"));
}

TEST(HeifPlan, ExifAndXmpItemsLeaveNoTrace) {
    Assembly a = onePicture();
    a.item(2, "Exif", {}, text("EXIF-SECRET"), false, true);
    a.item(3, "mime", {}, text("<xmp>XMP-SECRET</xmp>"), false, false, "application/rdf+xml");
    a.refs = {{h::fourcc("cdsc"), 2, {1}}, {h::fourcc("cdsc"), 3, {1}}};
    a.groups = {{h::fourcc("altr"), 0, 0, 100, {1, 2}, {}},
                {h::fourcc("ster"), 0, 0, 101, {3}, {}}};
    const Tagged t = tag(a);
    EXPECT_EQ(find(t.file, "SECRET"), std::string::npos);
    EXPECT_EQ(t.source.meta.find<h::Iinf>()->entries.size(), 1u);
    EXPECT_EQ(t.source.meta.find<h::Iloc>()->items.size(), 1u);
    EXPECT_FALSE(t.source.meta.find<h::Iref>() && !t.source.meta.find<h::Iref>()->refs.empty());
    const auto& groups = t.source.meta.find<h::Grpl>()->groups;
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].entities, std::vector<std::uint32_t>{1});
    EXPECT_TRUE(t.source.meta.find<h::Idat>()->data.empty());
}

TEST(HeifPlan, IndexesPast127TurnIpmaWide) {
    Assembly a;
    std::vector<std::uint16_t> props{a.prop(hvcC()), a.prop(ISPE)};
    for (int i = 0; i < 130; ++i) { // the new profile comes after them all
        const auto index = a.prop(atom("zzzz", be(std::uint64_t(i), 4)));
        if (index < 128) props.push_back(index);
    }
    a.item(1, "hvc1", props, text("CODED-PICTURE-1"));
    const Tagged t = tag(a);
    const auto& ipma = t.source.meta.find<h::Iprp>()->ipma[0];
    EXPECT_EQ(ipma.flags & 1, 1u);
    EXPECT_EQ(t.icc(1), p3());
}

TEST(HeifPlan, OffsetsWidenedWhenTheSourceWroteNone) {
    Assembly a = onePicture();
    a.compactIloc = true;
    const Tagged t = tag(a);
    const auto& iloc = *t.source.meta.find<h::Iloc>();
    EXPECT_EQ(iloc.offsetSize, 4);
    EXPECT_EQ(iloc.lengthSize, 4);
    const auto& x = iloc.items[0].extents[0];
    EXPECT_EQ(Bytes(t.file.begin() + std::ptrdiff_t(x.offset),
                    t.file.begin() + std::ptrdiff_t(x.offset + x.length)),
              text("CODED-PICTURE-1"));
}

TEST(HeifPlan, EveryMasterAndItsThumbnailButNotAGreyOne) {
    Assembly a = onePicture();
    a.item(2, "hvc1", {a.prop(hvcC()), a.prop(ISPE)}, text("CODED-SECOND-2"));
    a.item(3, "hvc1", {a.prop(hvcC()), a.prop(ISPE)}, text("CODED-THUMB-3"));
    a.item(4, "hvc1", {a.prop(hvcC(true)), a.prop(ISPE)}, text("CODED-GREY-4"));
    a.refs.push_back({h::fourcc("thmb"), 3, {2}});
    const Tagged t = tag(a);
    for (std::uint32_t id : {1, 2, 3})
        EXPECT_EQ(t.icc(id), p3()) << id;
    EXPECT_TRUE(t.icc(4).empty());
}

TEST(HeifPlan, Decisions) {
    struct Case {
        const char* name;
        tg::ImageCheck check;
        std::vector<Bytes> props = {}; // colour or pixel properties added to the picture
        void (*make)(Assembly&) = nullptr;
    };
    using C = tg::ImageCheck;
    const Case cases[] = {
        {"data in another file", C::refused, {}, [](Assembly& a) { a.dataReference = 1; }},
        {"grey pixi", C::notRgb, {fullBox("pixi", 0, 0, {1, 8})}},
        {"grey hvcC", C::notRgb, {}, [](Assembly& a) { a.ipco[0].box = hvcC(true); }},
        {"grey av1C",
         C::notRgb,
         {},
         [](Assembly& a) {
             a.infe[0].itemType = h::fourcc("av01");
             a.ipco[0] = {h::fourcc("av1C"), atom("av1C", {0x81, 0x00, 0x10, 0x00})};
         }},
        {"alpha shown as the picture",
         C::notRgb,
         {},
         [](Assembly& a) {
             a.item(2, "hvc1", {1, 2}, text("CODED-COLOUR-2"));
             a.refs.push_back({h::fourcc("auxl"), 1, {2}});
         }},
        {"movie track",
         C::refused,
         {},
         [](Assembly& a) { a.trailer = atom("moov", atom("mvhd", Bytes(100, 0))); }},
        {"sequence brand",
         C::refused,
         {},
         [](Assembly& a) { a.brands.push_back(h::fourcc("msf1")); }},
        {"hlg", C::refused, {nclxBox(9, 18, 9, false)}},
        {"p3 profile", C::alreadyP3, {profBox(p3())}},
        {"p3 nclx", C::alreadyP3, {nclxBox(12, 13, 6, true)}},
        {"p3 profile but bt709 nclx", C::taggable, {profBox(p3()), nclxBox(1, 1, 1, false)}},
        {"property past ipco",
         C::unreadable,
         {},
         [](Assembly& a) {
             a.ipma[0].props.push_back({false, 9});
         }},
        {"primary is metadata",
         C::unreadable,
         {},
         [](Assembly& a) {
             a.item(2, "Exif", {}, text("EXIF"));
             a.primary = 2;
         }},
        {"two items one id", C::unreadable, {}, [](Assembly& a) { a.item(1, "hvc1", {}, {}); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Assembly a = onePicture();
        for (const auto& p : c.props)
            a.ipma[0].props.push_back({false, a.prop(p)});
        if (c.make) c.make(a);
        EXPECT_EQ(planOf(a.build()).check, c.check);
    }
    // Data running past the end of the file, and a file cut inside its mdat.
    const Bytes file = onePicture().build();
    auto source = readSource(file);
    ASSERT_TRUE(source);
    source->meta.find<h::Iloc>()->items[0].extents[0].length += 1;
    EXPECT_EQ(h::planTagging(*source).check, C::unreadable);
    EXPECT_FALSE(readSource(Bytes(file.begin(), file.end() - 3)));
}

} // namespace
