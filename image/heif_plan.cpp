#include "image/heif_plan.h"

#include "codec/colour_codes.h"
#include "image/display_p3.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>

namespace tg::heif {

namespace {

constexpr std::uint32_t FTYP = fourcc("ftyp"), META = fourcc("meta"), MOOV = fourcc("moov"),
                        PICT = fourcc("pict"), AUXL = fourcc("auxl"), THMB = fourcc("thmb"),
                        DIMG = fourcc("dimg"), ILOC_REF = fourcc("iloc"), EXIF = fourcc("Exif"),
                        MIME = fourcc("mime"), PROF = fourcc("prof"), RICC = fourcc("rICC"),
                        PIXI = fourcc("pixi"), HVCC = fourcc("hvcC"), AV1C = fourcc("av1C"),
                        AUXC = fourcc("auxC"), IROT = fourcc("irot"), IMIR = fourcc("imir"),
                        CLAP = fourcc("clap");

constexpr std::size_t MAX_FTYP = 4096;
constexpr std::uint16_t MAX_INDEX = 0x7FFF;

bool isImageType(std::uint32_t t) {
    for (auto type :
         {fourcc("hvc1"), fourcc("av01"), fourcc("grid"), fourcc("iovl"), fourcc("iden"),
          fourcc("jpeg"), fourcc("avc1"), fourcc("vvc1"), fourcc("j2k1"), fourcc("unci")})
        if (t == type) return true;
    return false;
}

bool isSequenceBrand(const Ftyp& f) {
    for (auto b : {fourcc("msf1"), fourcc("avis"), fourcc("hevc"), fourcc("hevx")})
        if (f.hasBrand(b)) return true;
    return false;
}

// Only the orientation is kept as metadata; it lives in irot/imir, not in these.
bool isMetadataItem(const Infe& e) {
    return e.itemType == EXIF || (e.itemType == MIME && e.contentType == "application/rdf+xml");
}

unsigned widthFor(std::uint64_t v) {
    return v == 0 ? 0 : v <= 0xFFFFFFFFu ? 4 : 8;
}

bool isTransform(std::uint32_t t) {
    return t == IROT || t == IMIR || t == CLAP;
}

// Where coded bytes come from: the file itself, or the meta's idat.
struct Range {
    std::uint64_t from = 0;
    std::uint64_t length = 0;
};

// Ranges laid back to back after merging the overlapping ones, so bytes shared by two items
// stay shared and nothing between them is carried along.
class Packing {
public:
    void add(Range r) { ranges_.push_back(r); }
    // Returns the packed size.
    std::uint64_t pack() {
        std::sort(ranges_.begin(), ranges_.end(),
                  [](const Range& a, const Range& b) { return a.from < b.from; });
        std::uint64_t at = 0;
        for (const auto& r : ranges_) {
            const std::uint64_t end = r.from + r.length; // checked against the source size
            if (!runs_.empty() && r.from <= runs_.back().from + runs_.back().length) {
                Run& last = runs_.back();
                if (end > last.from + last.length) {
                    at += end - (last.from + last.length);
                    last.length = end - last.from;
                }
                continue;
            }
            runs_.push_back({r.from, r.length, at});
            at += r.length;
        }
        return at;
    }
    // Where source byte `from` lands, relative to the start of the packed bytes.
    std::uint64_t where(std::uint64_t from) const {
        auto it = std::upper_bound(runs_.begin(), runs_.end(), from,
                                   [](std::uint64_t v, const Run& r) { return v < r.from; });
        --it; // every source byte asked for was added
        return it->to + (from - it->from);
    }
    const std::vector<Run>& runs() const { return runs_; }

private:
    std::vector<Range> ranges_;
    std::vector<Run> runs_;
};

struct Facts {
    std::map<std::uint32_t, const Infe*> items;
    std::map<std::uint32_t, std::vector<Association>> props; // over every ipma
    std::map<std::uint32_t, std::vector<std::uint32_t>> inputs;
    std::set<std::uint32_t> auxiliary;
    std::vector<const Reference*> thumbnails;

    bool isImage(std::uint32_t id) const {
        const auto it = items.find(id);
        return it != items.end() && isImageType(it->second->itemType);
    }
};

// An item's extents as they lie in the source, kept while its iloc entry is rewritten.
struct Placed {
    IlocItem* item;
    std::vector<Range> extents;
};

// The coded data kept, as laid out in the new mdat and idat.
struct Layout {
    Packing file, inIdat;
    std::vector<Placed> placed;
    std::uint64_t longest = 0;
};

Plan verdict(ImageCheck check, std::string reason = {}) {
    Plan plan;
    plan.check = check;
    plan.reason = std::move(reason);
    return plan;
}

// The Display P3 form of a colour property of a tagged item; nullopt when it already says so or
// is no colour property.
std::optional<Property> inDisplayP3(const Property& p, const Property& p3) {
    if (const auto n = nclxOf(p)) {
        if (n->primaries == PRIMARIES_DISPLAY_P3 && n->transfer == TRANSFER_SRGB)
            return std::nullopt;
        Nclx m = *n;
        m.primaries = PRIMARIES_DISPLAY_P3;
        m.transfer = TRANSFER_SRGB;
        return colrNclx(m);
    }
    if (const auto t = colrType(p); t == PROF || t == RICC) {
        if (isDisplayP3(iccOf(p))) return std::nullopt;
        return p3;
    }
    return std::nullopt;
}

// Item offsets once the packed file bytes start at `start`; returns the largest.
std::uint64_t placeItems(Layout& layout, std::uint64_t start) {
    std::uint64_t widest = 0;
    for (auto& p : layout.placed) {
        p.item->baseOffset = 0;
        for (std::size_t k = 0; k < p.extents.size(); ++k) {
            const auto& r = p.extents[k];
            const std::uint64_t at = p.item->method == 0 ? start + layout.file.where(r.from)
                                                         : layout.inIdat.where(r.from);
            p.item->extents[k].offset = at;
            p.item->extents[k].length = r.length;
            widest = std::max(widest, at);
        }
    }
    return widest;
}

void packIdat(Idat& idat, Packing& inIdat) {
    Buffer packed(inIdat.pack());
    for (const auto& r : inIdat.runs())
        std::copy_n(idat.data.begin() + std::ptrdiff_t(r.from), r.length,
                    packed.begin() + std::ptrdiff_t(r.to));
    idat.data = std::move(packed);
}

class Planner {
public:
    explicit Planner(const Source& s) : source_(s) {}
    Plan run();

private:
    bool gather();
    std::set<std::uint32_t> closure(std::uint32_t root) const;
    bool monochrome(const std::set<std::uint32_t>& ids) const;
    const Property* property(const Association& a) const {
        return a.index == 0 ? nullptr : &iprp_->ipco[a.index - 1];
    }
    bool auxiliary(std::uint32_t id) const;
    std::optional<std::set<std::uint32_t>> chooseMasters(std::uint32_t primary);
    void addThumbnails(const std::set<std::uint32_t>& masters);
    ImageCheck judgeColour(std::string& hdr) const;
    void dropMetadataItems();
    bool builtFromDropped() const;
    bool relabel();
    std::optional<std::map<std::uint16_t, std::uint16_t>> relabelProperties(const Property& p3);
    bool listTaggedItems();
    bool associate(const std::map<std::uint16_t, std::uint16_t>& replacement, const Property& p3);
    std::optional<std::uint16_t> addProperty(const Property& p);
    bool layOut(Plan& plan);
    bool collectExtents(Layout& layout);
    std::optional<Buffer> headBytes(std::uint64_t start, unsigned mdatHeader,
                                    std::uint64_t payload) const;

    const Source& source_;
    Meta meta_;
    Iprp* iprp_ = nullptr;
    Facts facts_;
    std::set<std::uint32_t> tagged_;
    std::set<std::uint32_t> roots_; // the pictures shown: masters and their thumbnails
    std::set<std::uint32_t> dropped_;
};

// Facts point into the source's tree, which stays as it was read while meta_ is edited.
bool Planner::gather() {
    const Meta& src = source_.meta;
    const auto* hdlr = src.find<Hdlr>();
    const auto* pitm = src.find<Pitm>();
    const auto* iinf = src.find<Iinf>();
    const auto* iloc = src.find<Iloc>();
    iprp_ = meta_.find<Iprp>();
    if (!hdlr || hdlr->handler != PICT || !pitm || !iinf || !iprp_ || !iloc) return false;
    const auto* idat = src.find<Idat>();
    for (const auto& it : iloc->items) {
        if (it.method == 2 || it.dataReference != 0) continue;
        const std::uint64_t limit = it.method == 0 ? source_.size : idat ? idat->data.size() : 0;
        for (const auto& x : it.extents) {
            std::uint64_t from = 0;
            if (__builtin_add_overflow(it.baseOffset, x.offset, &from) || from > limit)
                return false;
            if (x.length > limit - from || (x.length == 0 && from == limit)) return false;
        }
    }
    for (const auto& e : iinf->entries)
        if (!facts_.items.emplace(e.itemId, &e).second) return false;
    for (const auto& m : iprp_->ipma)
        for (const auto& e : m.entries) {
            auto& list = facts_.props[e.itemId];
            for (const auto& a : e.props) {
                if (a.index > iprp_->ipco.size()) return false;
                list.push_back(a);
            }
        }
    if (const auto* iref = src.find<Iref>())
        for (const auto& r : iref->refs) {
            if (r.type == AUXL) facts_.auxiliary.insert(r.from);
            if (r.type == THMB) facts_.thumbnails.push_back(&r);
            if (r.type == DIMG) {
                auto& in = facts_.inputs[r.from];
                in.insert(in.end(), r.to.begin(), r.to.end());
            }
        }
    return facts_.isImage(pitm->itemId);
}

// The item and everything it is derived from (tiles of a grid, inputs of an overlay).
std::set<std::uint32_t> Planner::closure(std::uint32_t root) const {
    std::set<std::uint32_t> seen{root};
    std::vector<std::uint32_t> todo{root};
    while (!todo.empty()) {
        const std::uint32_t id = todo.back();
        todo.pop_back();
        const auto it = facts_.inputs.find(id);
        if (it == facts_.inputs.end()) continue;
        for (auto in : it->second)
            if (facts_.isImage(in) && seen.insert(in).second) todo.push_back(in);
    }
    return seen;
}

// One channel in pixi, or a 4:0:0 decoder configuration: an ICC RGB profile would be wrong.
bool Planner::monochrome(const std::set<std::uint32_t>& ids) const {
    for (auto id : ids) {
        const auto it = facts_.props.find(id);
        if (it == facts_.props.end()) continue;
        for (const auto& a : it->second) {
            const Property* p = property(a);
            if (!p) continue;
            const Bytes b = p->payload();
            if (p->type == PIXI && b.size() >= 5 && b[4] == 1) return true;
            if (p->type == HVCC && b.size() >= 17 && (b[16] & 3) == 0) return true;
            if (p->type == AV1C && b.size() >= 3 && (b[2] & 0x10) != 0) return true;
        }
    }
    return false;
}

ImageCheck Planner::judgeColour(std::string& hdr) const {
    bool allP3 = true;
    for (auto id : tagged_) {
        bool hasIcc = false, hasNclx = false, p3 = true;
        const auto it = facts_.props.find(id);
        if (it != facts_.props.end())
            for (const auto& a : it->second) {
                const Property* p = property(a);
                if (!p) continue;
                if (const auto n = nclxOf(*p)) {
                    // P3 primaries and the sRGB transfer are Display P3; PQ and HLG are HDR,
                    // whose samples are not sRGB-coded and must not be labelled so.
                    if (hdrTransfer(n->transfer)) {
                        hdr = hdrReason(n->primaries, n->transfer);
                        return ImageCheck::refused;
                    }
                    hasNclx = true;
                    p3 = p3 && n->primaries == PRIMARIES_DISPLAY_P3 && n->transfer == TRANSFER_SRGB;
                } else if (const Bytes icc = iccOf(*p); !icc.empty()) {
                    hasIcc = true;
                    p3 = p3 && isDisplayP3(icc);
                }
            }
        // A tile or input without a colour property of its own is shown in its picture's.
        const bool unsignalledInput = !hasIcc && !hasNclx && !roots_.contains(id);
        allP3 = allP3 && p3 && (hasIcc || hasNclx || unsignalledInput);
    }
    return allP3 ? ImageCheck::alreadyP3 : ImageCheck::taggable;
}

void Planner::dropMetadataItems() {
    for (const auto& [id, e] : facts_.items)
        if (isMetadataItem(*e)) dropped_.insert(id);
    if (dropped_.empty()) return;
    const auto gone = [&](std::uint32_t id) { return dropped_.contains(id); };
    auto* iinf = meta_.find<Iinf>();
    std::erase_if(iinf->entries, [&](const Infe& e) { return gone(e.itemId); });
    // A reference or group left with nothing goes; one that was empty before stays.
    if (auto* iref = meta_.find<Iref>())
        std::erase_if(iref->refs, [&](Reference& r) {
            const std::size_t before = r.to.size();
            std::erase_if(r.to, gone);
            return gone(r.from) || (before != 0 && r.to.empty());
        });
    for (auto& m : iprp_->ipma)
        std::erase_if(m.entries, [&](const IpmaEntry& e) { return gone(e.itemId); });
    if (auto* grpl = meta_.find<Grpl>())
        std::erase_if(grpl->groups, [&](Group& g) {
            const std::size_t before = g.entities.size();
            std::erase_if(g.entities, gone);
            return before != 0 && g.entities.empty();
        });
    std::erase_if(meta_.find<Iloc>()->items, [&](const IlocItem& it) { return gone(it.itemId); });
}

std::optional<std::uint16_t> Planner::addProperty(const Property& p) {
    auto& ipco = iprp_->ipco;
    for (std::size_t i = 0; i < ipco.size(); ++i)
        if (ipco[i].box == p.box) return std::uint16_t(i + 1);
    if (ipco.size() >= MAX_INDEX) return std::nullopt;
    ipco.push_back(p);
    return std::uint16_t(ipco.size());
}

// Every colour property of a tagged item says Display P3 afterwards. A property that only tagged
// items use is rewritten where it stands; one shared with an item that keeps its colour (an alpha
// plane, a depth or gain map) stays, and the tagged items get a new one. An nclx keeps its matrix
// and range, which decide how the samples turn into RGB, and sits beside the ICC profile.
bool Planner::relabel() {
    const Property p3 = colrProf(displayP3Profile());
    const auto replacement = relabelProperties(p3);
    if (!replacement || !listTaggedItems() || !associate(*replacement, p3)) return false;
    for (auto& m : iprp_->ipma)
        for (const auto& e : m.entries)
            for (const auto& a : e.props)
                if (a.index > 127) m.flags |= 1;
    return true;
}

// Rewrites the colour properties tagged items use; returns the new index of each shared one.
std::optional<std::map<std::uint16_t, std::uint16_t>>
Planner::relabelProperties(const Property& p3) {
    auto& ipco = iprp_->ipco;
    std::map<std::uint16_t, std::vector<std::uint32_t>> users;
    for (const auto& m : iprp_->ipma)
        for (const auto& e : m.entries)
            for (const auto& a : e.props)
                if (a.index != 0) users[a.index].push_back(e.itemId);

    std::map<std::uint16_t, std::uint16_t> replacement;
    for (const auto& [index, items] : users) {
        if (std::none_of(items.begin(), items.end(), [&](auto id) { return tagged_.contains(id); }))
            continue;
        const bool shared =
            std::any_of(items.begin(), items.end(), [&](auto id) { return !tagged_.contains(id); });
        const std::optional<Property> fixed = inDisplayP3(ipco[index - 1], p3);
        if (!fixed) continue;
        if (!shared) {
            ipco[index - 1] = *fixed;
        } else {
            const auto added = addProperty(*fixed);
            if (!added) return std::nullopt;
            replacement[index] = *added;
        }
    }
    return replacement;
}

// A tagged item with no association yet gets an entry, in item order.
bool Planner::listTaggedItems() {
    if (iprp_->ipma.empty()) iprp_->ipma.emplace_back();
    std::set<std::uint32_t> listed;
    for (const auto& m : iprp_->ipma)
        for (const auto& e : m.entries)
            listed.insert(e.itemId);
    auto& first = iprp_->ipma.front();
    for (auto id : tagged_) {
        if (listed.contains(id)) continue;
        if (first.version == 0 && id > 0xFFFF) return false;
        const auto at = std::find_if(first.entries.begin(), first.entries.end(),
                                     [&](const IpmaEntry& e) { return e.itemId > id; });
        first.entries.insert(at, IpmaEntry{id, {}});
    }
    return true;
}

// Points tagged items at the replacements of shared properties, and gives the profile to those
// that have none.
bool Planner::associate(const std::map<std::uint16_t, std::uint16_t>& replacement,
                        const Property& p3) {
    auto& ipco = iprp_->ipco;
    std::map<std::uint32_t, std::vector<IpmaEntry*>> entries;
    for (auto& m : iprp_->ipma)
        for (auto& e : m.entries)
            if (tagged_.contains(e.itemId)) entries[e.itemId].push_back(&e);
    std::optional<std::uint16_t> p3Index;
    for (auto& [id, list] : entries) {
        bool hasIcc = false;
        for (auto* e : list)
            for (auto& a : e->props) {
                if (const auto it = replacement.find(a.index); it != replacement.end())
                    a = {false, it->second};
                const std::uint32_t t = a.index ? colrType(ipco[a.index - 1]).value_or(0) : 0;
                hasIcc = hasIcc || t == PROF || t == RICC;
            }
        if (!hasIcc) {
            if (!p3Index) p3Index = addProperty(p3);
            if (!p3Index) return false;
            // Before any rotation, mirror or crop, which a reader applies in their order. What
            // the writer put where stays there: readers are known to depend on it.
            auto& props = list.front()->props;
            const auto at = std::find_if(props.begin(), props.end(), [&](const Association& a) {
                return a.index && isTransform(ipco[a.index - 1].type);
            });
            props.insert(at, Association{false, *p3Index});
        }
        for (auto* e : list)
            if (e->props.size() > 255) return false;
    }
    return true;
}

bool Planner::layOut(Plan& plan) {
    Layout layout;
    if (!collectExtents(layout)) return false;
    const std::uint64_t payload = layout.file.pack();
    if (Idat* idat = meta_.find<Idat>()) packIdat(*idat, layout.inIdat);
    Iloc& iloc = *meta_.find<Iloc>();
    iloc.lengthSize = std::uint8_t(std::max<unsigned>(iloc.lengthSize, widthFor(layout.longest)));

    // The offsets depend on the size of meta, which depends on how wide the offsets are written:
    // widen until they fit (at most twice, widths only grow).
    const unsigned mdatHeader = payload > 0xFFFFFFFFu - 8 ? 16 : 8;
    for (int pass = 0; pass < 3; ++pass) {
        Writer probe;
        write(probe, meta_);
        const std::uint64_t start = source_.ftyp.size() + probe.size() + mdatHeader;
        const std::uint64_t widest = placeItems(layout, start);
        if (widthFor(widest) > iloc.offsetSize) {
            iloc.offsetSize = std::uint8_t(widthFor(widest));
            continue;
        }
        auto written = headBytes(start, mdatHeader, payload);
        if (!written) return false;
        plan.head = std::move(*written);
        for (const auto& r : layout.file.runs())
            plan.runs.push_back({r.from, r.length, start + r.to});
        plan.size = start + payload;
        return true;
    }
    return false;
}

// Every extent of every item whose data is in this file or the idat, checked against its source.
bool Planner::collectExtents(Layout& layout) {
    const Idat* idat = meta_.find<Idat>();
    const std::uint64_t idatSize = idat ? idat->data.size() : 0;
    for (auto& it : meta_.find<Iloc>()->items) {
        if (it.dataReference != 0) return false; // data in another file
        if (it.method == 2) continue;            // offsets into other items: unchanged
        const std::uint64_t limit = it.method == 0 ? source_.size : idatSize;
        Placed p{&it, {}};
        for (const auto& x : it.extents) {
            std::uint64_t from = 0;
            if (__builtin_add_overflow(it.baseOffset, x.offset, &from) || from > limit)
                return false;
            const std::uint64_t length = x.length == 0 ? limit - from : x.length;
            if (length == 0 || length > limit - from) return false;
            (it.method == 0 ? layout.file : layout.inIdat).add({from, length});
            p.extents.push_back({from, length});
            layout.longest = std::max(layout.longest, length);
        }
        layout.placed.push_back(std::move(p));
    }
    return true;
}

// ftyp, meta and the mdat header; nullopt when meta came out another size than `start` allowed.
std::optional<Buffer> Planner::headBytes(std::uint64_t start, unsigned mdatHeader,
                                         std::uint64_t payload) const {
    Writer w;
    w.bytes(source_.ftyp);
    write(w, meta_);
    if (!w.ok() || w.size() + mdatHeader != start) return std::nullopt;
    if (mdatHeader == 16) {
        w.u32(1);
        w.u32(fourcc("mdat"));
        w.uint(payload + 16, 8);
    } else {
        w.u32(payload + 8);
        w.u32(fourcc("mdat"));
    }
    return w.take();
}

Plan Planner::run() {
    // A movie track makes a sequence; brands alone do not, since a still-image collection may list
    // hevc among them. Only without a still image at all do the brands decide.
    if (source_.hasMoov || (!source_.meta.find<Pitm>() && isSequenceBrand(source_.brands)))
        return verdict(ImageCheck::refused, "an image sequence");
    meta_ = source_.meta;
    if (!gather()) return verdict(ImageCheck::unreadable, "no primary image we can follow");
    const std::uint32_t primary = meta_.find<Pitm>()->itemId;

    // An alpha plane shown as the picture has no colour to label.
    if (auxiliary(primary)) return verdict(ImageCheck::notRgb, "auxiliary image (alpha or depth)");
    const auto masters = chooseMasters(primary);
    if (!masters) return verdict(ImageCheck::notRgb, "monochrome image");
    addThumbnails(*masters);

    std::string hdr;
    const ImageCheck colour = judgeColour(hdr);
    Plan plan = verdict(colour, hdr);
    if (plan.check != ImageCheck::taggable) return plan;

    const auto& located = meta_.find<Iloc>()->items;
    if (std::any_of(located.begin(), located.end(),
                    [](const auto& it) { return it.dataReference; }))
        return verdict(ImageCheck::refused, "image data in another file");
    dropMetadataItems();
    if (builtFromDropped()) return verdict(ImageCheck::refused, "an image built from metadata");
    if (!relabel() || !layOut(plan))
        return verdict(ImageCheck::refused, "box tree cannot be laid out again");
    return plan;
}

bool Planner::auxiliary(std::uint32_t id) const {
    if (facts_.auxiliary.contains(id)) return true;
    if (const auto it = facts_.props.find(id); it != facts_.props.end())
        for (const auto& a : it->second)
            if (property(a) && property(a)->type == AUXC) return true;
    return false;
}

// Master images: every shown coded picture that is not an auxiliary image or a thumbnail. They
// and what they are derived from are tagged, unless grey; nullopt when the primary one is.
std::optional<std::set<std::uint32_t>> Planner::chooseMasters(std::uint32_t primary) {
    std::set<std::uint32_t> thumbs;
    for (const auto* r : facts_.thumbnails)
        thumbs.insert(r->from);
    std::vector<std::uint32_t> roots{primary};
    for (const auto& [id, e] : facts_.items)
        if (id != primary && facts_.isImage(id) && !e->hidden() && !facts_.auxiliary.contains(id) &&
            !thumbs.contains(id))
            roots.push_back(id);
    std::set<std::uint32_t> masters;
    for (auto root : roots) {
        const auto ids = closure(root);
        if (monochrome(ids)) {
            if (root == primary) return std::nullopt;
            continue; // a grey picture beside the colour one stays as it is
        }
        masters.insert(root);
        roots_.insert(root);
        tagged_.insert(ids.begin(), ids.end());
    }
    return masters;
}

void Planner::addThumbnails(const std::set<std::uint32_t>& masters) {
    for (const auto* r : facts_.thumbnails) {
        if (!facts_.isImage(r->from) ||
            std::none_of(r->to.begin(), r->to.end(), [&](auto id) { return masters.contains(id); }))
            continue;
        const auto ids = closure(r->from);
        if (monochrome(ids)) continue;
        roots_.insert(r->from);
        tagged_.insert(ids.begin(), ids.end());
    }
}

// An item built from the bytes of a metadata item would lose them.
bool Planner::builtFromDropped() const {
    if (const auto* iref = source_.meta.find<Iref>())
        for (const auto& r : iref->refs)
            if (r.type == ILOC_REF && std::any_of(r.to.begin(), r.to.end(),
                                                  [&](auto id) { return dropped_.contains(id); }))
                return true;
    return false;
}

} // namespace

std::optional<Source> readSource(const ReadAt& read, std::uint64_t size) {
    Source s;
    s.size = size;
    bool seenMeta = false;
    std::uint64_t at = 0;
    while (at < size) {
        std::array<std::uint8_t, bmff::MAX_HEADER> head{};
        const std::size_t n = std::size_t(std::min<std::uint64_t>(head.size(), size - at));
        if (readExactly(read, at, std::span(head).first(n)).failed()) return std::nullopt;
        const auto h = bmff::decodeHeader(std::span(head).first(n), size - at, RULES);
        if (!h) return std::nullopt;
        if (at == 0) {
            if (h->type != FTYP || h->size > MAX_FTYP) return std::nullopt;
            s.ftyp.resize(std::size_t(h->size));
            if (readExactly(read, 0, s.ftyp).failed()) return std::nullopt;
            auto f = readFtyp(Bytes(s.ftyp).subspan(h->headerSize));
            if (!f) return std::nullopt;
            s.brands = std::move(*f);
        } else if (h->type == FTYP) {
            return std::nullopt;
        } else if (h->type == META) {
            if (seenMeta || h->size > MAX_META) return std::nullopt;
            seenMeta = true;
            Buffer payload(std::size_t(h->size - h->headerSize));
            if (readExactly(read, at + h->headerSize, payload).failed()) return std::nullopt;
            auto m = readMeta(payload);
            if (!m) return std::nullopt;
            s.meta = std::move(*m);
        } else if (h->type == MOOV) {
            s.hasMoov = true;
        }
        at += h->size; // within size: decodeHeader bounds it by the room left
    }
    if (!seenMeta && !s.hasMoov && !isSequenceBrand(s.brands)) return std::nullopt;
    return s;
}

Plan planTagging(const Source& source) {
    return Planner(source).run();
}

} // namespace tg::heif
