#include "matroska/mkv_loader.h"

#include "codec/av1.h"
#include "codec/sps.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <map>
#include <system_error>
#include <thread>

namespace tg {

namespace {

namespace e = ebml;

// Elements read whole are bounded: real ones stay far below.
constexpr std::uint64_t MAX_EBML_HEADER = 4096;
constexpr std::uint64_t MAX_TRACKS = 64ull << 20;
constexpr std::uint64_t MAX_SEEK_HEAD = 16ull << 20;
constexpr std::uint64_t MAX_CUES = 256ull << 20;
// How many top-level elements a walk follows before it calls the file crafted.
constexpr std::size_t MAX_TOP = 1u << 22;
// A Cluster states its position, if at all, before its first block.
constexpr std::uint64_t CLUSTER_HEAD = 64;
constexpr std::uint32_t DV_CONFIG = 0x64766343, DV_VVC_CONFIG = 0x64767643; // dvcC, dvvC

// A frame's leading units are read from its first bytes, more when they run on.
constexpr std::uint64_t FRAME_HEAD = 512;
constexpr std::uint64_t MAX_FRAME_HEAD = 1ull << 20;
// A ProRes frame's header up to its matrix byte, as Matroska stores the frame.
constexpr std::uint64_t PRORES_HEAD = 20;

const char* const READ_ERROR = "Read error";

Failure damaged(const std::string& why) {
    return Failure{DAMAGED_MATROSKA, why};
}

// The element whose header starts at `at` of the file, which may take `room` bytes.
Result<std::optional<e::Element>> headerAt(const FileHandle& file, std::uint64_t at,
                                           std::uint64_t room) {
    auto head = file.readFully(at, std::size_t(std::min(room, e::MAX_HEADER)));
    if (head.failed()) return Failure{READ_ERROR, head.cause()};
    const auto h = e::decodeHeader(*head, room);
    if (!h) return std::optional<e::Element>();
    return std::optional(e::Element{*h, at});
}

// Only a Segment or a Cluster may leave its size open; anywhere else an element of unknown size
// would swallow whatever an edit puts behind it in its parent.
bool sized(const e::ElementList& list) {
    return std::none_of(list.elements.begin(), list.elements.end(),
                        [](const e::Element& el) { return el.header.unknownSize; });
}

bool isTopLevel(std::uint32_t id) {
    switch (id) {
    case e::CLUSTER:
    case e::CUES:
    case e::TAGS:
    case e::SEEK_HEAD:
    case e::INFO:
    case e::TRACKS:
    case e::CHAPTERS:
    case e::ATTACHMENTS:
        return true;
    default:
        return false;
    }
}

// What the block walk reads, served from one read of a window: a block's element header, its own
// head and its frame's first units usually lie in one, and so do small blocks that follow one
// another. A walk over every block of a large movie costs one read a block, into one buffer kept
// for the whole walk: what a read gives back holds until the next read. Copying the window is
// much of a read's cost, so after a read far past the last window the next one is narrower.
class HeadReader {
public:
    HeadReader(const FileHandle& file, std::uint64_t size) : file_(file), size_(size) {}

    Result<Bytes> read(std::uint64_t at, std::size_t n) {
        if (at >= start_ && at - start_ <= held_ && n <= held_ - (at - start_))
            return Bytes(buffer_).subspan(std::size_t(at - start_), n);
        // Past the size the walk was given: exactly n bytes or the read's own error.
        const bool inside = at < size_ && size_ - at >= n;
        const std::size_t window = at >= start_ + held_ + WIDE ? NARROW : WIDE;
        const auto want =
            inside ? std::size_t(std::min<std::uint64_t>(std::max(n, window), size_ - at)) : n;
        if (buffer_.size() < want) buffer_.resize(want);
        held_ = 0;
        auto got = file_.readAt(at, std::span(buffer_).first(want));
        if (got.failed()) return got.failure();
        if (*got != want) return Failure{{}, "unexpected end of file"};
        start_ = at;
        held_ = want;
        return Bytes(buffer_).first(n);
    }

private:
    // A block's element header, its head and FRAME_HEAD bytes of its frame fit the narrow one.
    static constexpr std::size_t WIDE = 4096, NARROW = 1024;
    const FileHandle& file_;
    std::uint64_t size_;
    std::uint64_t start_ = 0;
    std::uint64_t held_ = 0;
    std::vector<std::uint8_t> buffer_;
};

// The video tracks whose blocks may open with parameter sets, by track number.
struct InBandTrack {
    std::size_t index = 0;
    bool av1 = false, prores = false;
    VideoCodec codec = VideoCodec::h264;
    unsigned lengthSize = 4;
};
using InBandTracks = std::map<std::uint64_t, InBandTrack>;

// The walk over every block of a run of Clusters, reading each block's head: the parameter sets
// leading its frames, in file order, and the tracks found laced.
class BlockWalk {
public:
    BlockWalk(const FileHandle& file, std::uint64_t size, const InBandTracks& tracks)
        : heads_(file, size), tracks_(tracks) {}

    Status clusters(const std::vector<e::Element>& top, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            if (top[i].header.id != e::CLUSTER) continue;
            if (Status s = scanBlocksIn(top[i].dataStart(), top[i].end(), 0); s.failed()) return s;
        }
        return {};
    }

    std::vector<InBandUnit> inBand;
    std::vector<std::size_t> laced; // track indices, repeats allowed

private:
    Status scanBlocksIn(std::uint64_t from, std::uint64_t to, int depth) {
        for (std::uint64_t at = from; at < to;) {
            auto head = heads_.read(at, std::size_t(std::min(to - at, e::MAX_HEADER)));
            if (head.failed()) return Failure{READ_ERROR, head.cause()};
            const auto h = e::decodeHeader(*head, to - at);
            if (!h || h->unknownSize) return damaged("Cluster child at " + std::to_string(at));
            const e::Element el{*h, at};
            if (el.header.id == e::SIMPLE_BLOCK || el.header.id == e::BLOCK) {
                if (Status s = readBlockHead(el); s.failed()) return s;
            } else if (el.header.id == e::BLOCK_GROUP && depth == 0) {
                if (Status s = scanBlocksIn(el.dataStart(), el.end(), 1); s.failed()) return s;
            }
            at = el.end();
        }
        return {};
    }

    Status readBlockHead(const e::Element& block) {
        const std::uint64_t size = block.header.size;
        auto head = heads_.read(block.dataStart(), std::size_t(std::min<std::uint64_t>(size, 12)));
        if (head.failed()) return Failure{READ_ERROR, head.cause()};
        const auto track = e::readVarInt(*head, 0);
        if (!track) return {};
        const auto c = tracks_.find(track->value);
        if (c == tracks_.end() || size < track->width + 3u) return {};
        const std::uint64_t frameAt = block.dataStart() + track->width + 3;
        const std::uint64_t frameSize = size - track->width - 3;
        // Laced frames lie behind sizes of their own; a laced video block is rare enough to
        // leave its track's in-band units unread (and say so).
        if ((*head)[track->width + 2] & 0x06) {
            laced.push_back(c->second.index);
            return {};
        }
        if (c->second.prores) return readProResHead(c->second.index, frameAt, frameSize);
        std::uint64_t want = std::min<std::uint64_t>(frameSize, FRAME_HEAD);
        for (;;) {
            auto bytes = heads_.read(frameAt, std::size_t(want));
            if (bytes.failed()) return Failure{READ_ERROR, bytes.cause()};
            const LeadingSps lead = c->second.av1 ? leadingSequenceHeaders(*bytes, frameSize)
                                                  : leadingSps(c->second.codec, *bytes, frameSize,
                                                               c->second.lengthSize);
            if (lead.status == LeadingSps::Status::needBytes && lead.need > want &&
                lead.need <= std::min(frameSize, MAX_FRAME_HEAD)) {
                want = lead.need;
                continue;
            }
            if (lead.status != LeadingSps::Status::complete) return {};
            for (const NalRange& unit : lead.sps)
                inBand.push_back({c->second.index,
                                  frameAt + unit.offset,
                                  {bytes->begin() + std::ptrdiff_t(unit.offset),
                                   bytes->begin() + std::ptrdiff_t(unit.offset + unit.size)}});
            return {};
        }
    }

    Status readProResHead(std::size_t index, std::uint64_t frameAt, std::uint64_t frameSize) {
        auto frame = heads_.read(frameAt, std::size_t(std::min(frameSize, PRORES_HEAD)));
        if (frame.failed()) return Failure{READ_ERROR, frame.cause()};
        std::vector<std::uint8_t> head(8);
        writeUnsigned(head, 0, 4, frameSize + 8);
        std::copy_n("icpf", 4, head.begin() + 4);
        head.insert(head.end(), frame->begin(), frame->end());
        inBand.push_back({index, frameAt - 8, std::move(head), frameSize + 8});
        return {};
    }

    HeadReader heads_;
    const InBandTracks& tracks_;
};

class Loader {
public:
    Loader(const FileHandle& file, std::uint64_t size) : file_(file), size_(size) {}

    Result<MkvFile> load() {
        if (Status s = readHeader(); s.failed()) return s.failure();
        if (Status s = walkSegment(); s.failed()) return s.failure();
        if (Status s = readTracks(); s.failed()) return s.failure();
        if (Status s = scanBlocks(); s.failed()) return s.failure();
        for (const auto& el : m_.top) {
            Status s;
            if (el.header.id == e::SEEK_HEAD) s = readSeekHead(el);
            if (el.header.id == e::CUES) s = readCues(el);
            if (s.failed()) return s.failure();
        }
        return std::move(m_);
    }

private:
    Result<std::vector<std::uint8_t>> readWhole(const e::Element& el, std::uint64_t limit) {
        if (el.end() - el.offset > limit) return damaged("element too large to read");
        auto bytes = file_.readFully(el.offset, std::size_t(el.end() - el.offset));
        if (bytes.failed()) return Failure{READ_ERROR, bytes.cause()};
        return std::move(*bytes);
    }

    Status readHeader() {
        auto ebmlHead = headerAt(file_, 0, size_);
        if (ebmlHead.failed()) return ebmlHead.failure();
        if (!*ebmlHead || (*ebmlHead)->header.id != e::EBML)
            return Failure{NOT_MATROSKA, "not an EBML file"};
        const e::Element head = **ebmlHead;
        auto bytes = readWhole(head, MAX_EBML_HEADER);
        if (bytes.failed()) return Failure{NOT_MATROSKA, "EBML header too large"};
        const auto list = e::listChildren(*bytes, head.header.headerSize(), bytes->size());
        if (const auto dt = e::findChild(list, e::DOC_TYPE)) {
            const Bytes b = Bytes(*bytes).subspan(dt->dataStart(), dt->header.size);
            m_.docType.assign(b.begin(), std::find(b.begin(), b.end(), 0));
        }
        if (m_.docType != "matroska" && m_.docType != "webm")
            return Failure{NOT_MATROSKA, "EBML of DocType '" + m_.docType + "'"};
        // The Segment, after any Void.
        for (std::uint64_t at = head.end(); at < size_;) {
            auto el = headerAt(file_, at, size_ - at);
            if (el.failed()) return el.failure();
            if (!*el) break;
            if ((*el)->header.id == e::SEGMENT) {
                m_.segment = **el;
                if (!m_.segment.header.unknownSize && m_.segment.header.sizeWidth > 0) {
                    // The size field holds its marker: moving it by a delta keeps the marker as
                    // long as the size stays within its width, which the plan checks.
                    const std::uint64_t pos = m_.segment.offset + m_.segment.header.idWidth;
                    auto raw = file_.readFully(pos, m_.segment.header.sizeWidth);
                    if (raw.failed()) return Failure{READ_ERROR, raw.cause()};
                    const unsigned w = m_.segment.header.sizeWidth;
                    m_.segmentSize = OffsetField{pos, int(w), readUnsigned(*raw, 0, w),
                                                 m_.segment.end(), m_.segment.end()};
                }
                return {};
            }
            if ((*el)->header.id != e::VOID) break;
            at = (*el)->end();
        }
        return damaged("no Segment");
    }

    // A Cluster of unknown size ends where an element that cannot be its child begins.
    Result<std::uint64_t> clusterEnd(const e::Element& cluster, std::uint64_t segEnd) {
        std::uint64_t at = cluster.dataStart();
        while (at < segEnd) {
            auto el = headerAt(file_, at, segEnd - at);
            if (el.failed()) return el.failure();
            if (!*el) return damaged("Cluster of unknown size cut short");
            if (isTopLevel((*el)->header.id) || (*el)->header.unknownSize) break;
            at = (*el)->end();
        }
        return at;
    }

    Status walkSegment() {
        const e::Element& seg = m_.segment;
        if (seg.end() > size_) return damaged("Segment cut short");
        const std::uint64_t end = seg.end();
        m_.firstCluster = end;
        for (std::uint64_t at = seg.dataStart(); at < end;) {
            if (m_.top.size() >= MAX_TOP) return damaged("too many top-level elements");
            auto found = headerAt(file_, at, end - at);
            if (found.failed()) return found.failure();
            if (!*found) return damaged("top-level element at " + std::to_string(at));
            e::Element el = **found;
            if (el.header.id == e::CLUSTER) {
                if (m_.firstCluster == end) m_.firstCluster = at;
                if (el.header.unknownSize) {
                    auto clusterTo = clusterEnd(el, end);
                    if (clusterTo.failed()) return clusterTo.failure();
                    el.header.size = *clusterTo - el.dataStart();
                }
                if (Status s = readClusterHead(el); s.failed()) return s;
            } else if (el.header.unknownSize) {
                return damaged("top-level element of unknown size");
            }
            m_.top.push_back(el);
            at = el.end();
        }
        return {};
    }

    Status readClusterHead(const e::Element& cluster) {
        const std::uint64_t n = std::min(CLUSTER_HEAD, cluster.header.size);
        auto head = file_.readFully(cluster.dataStart(), std::size_t(n));
        if (head.failed()) return Failure{READ_ERROR, head.cause()};
        // The head is cut anywhere: only the elements it holds whole are listed.
        const auto kids = e::listChildren(*head, 0, head->size());
        if (!kids.elements.empty() && kids.elements[0].header.id == e::CRC32 &&
            kids.elements[0].header.size == 4)
            m_.clusterCrcs.push_back(
                {cluster.dataStart() + kids.elements[0].dataStart(),
                 cluster.dataStart() + kids.elements[0].end(), cluster.end(),
                 std::uint32_t(readUnsigned(*head, kids.elements[0].dataStart(), 4, false))});
        for (const auto& c : kids.elements) {
            if (c.header.id == e::SIMPLE_BLOCK || c.header.id == e::BLOCK_GROUP) break;
            if (c.header.id == e::CLUSTER_POSITION) m_.clusterPositions = true;
        }
        return {};
    }

    Status readTracks() {
        std::optional<e::Element> tracks;
        for (const auto& el : m_.top)
            if (el.header.id == e::TRACKS) {
                if (tracks) return damaged("two Tracks elements");
                tracks = el;
            }
        if (!tracks) return Failure{NO_TRACKS, "no Tracks element"};
        m_.tracks = *tracks;
        auto bytes = readWhole(*tracks, MAX_TRACKS);
        if (bytes.failed()) return bytes.failure();
        m_.tracksBytes = std::move(*bytes);
        m_.tracksCrc = crcOf(m_.tracksBytes, tracks->offset);
        const Bytes b = m_.tracksBytes;
        const auto entries = e::listChildren(b, tracks->header.headerSize(), b.size());
        if (!entries.complete || !sized(entries)) return damaged("Tracks");
        for (const auto& entry : entries.elements) {
            if (entry.header.id != e::TRACK_ENTRY) continue;
            MkvTrack t;
            t.entry = entry;
            const auto kids = e::listChildren(b, entry.dataStart(), entry.end());
            if (!kids.complete || !sized(kids)) return damaged("TrackEntry");
            for (const auto& k : kids.elements) {
                const Bytes data = b.subspan(k.dataStart(), k.header.size);
                switch (k.header.id) {
                case e::TRACK_NUMBER:
                    t.number = e::readUint(data);
                    break;
                case e::TRACK_TYPE:
                    t.type = e::readUint(data);
                    break;
                case e::CODEC_ID:
                    t.codec.assign(data.begin(), std::find(data.begin(), data.end(), 0));
                    break;
                case e::CODEC_PRIVATE:
                    t.codecPrivate = k;
                    break;
                case e::VIDEO:
                    t.video = k;
                    break;
                case e::BLOCK_ADDITION_MAPPING:
                    for (const auto& m : e::listChildren(b, k.dataStart(), k.end()).elements) {
                        const auto type = e::readUint(b.subspan(m.dataStart(), m.header.size));
                        if (m.header.id == e::BLOCK_ADD_ID_TYPE &&
                            (type == DV_CONFIG || type == DV_VVC_CONFIG))
                            t.dolbyVision = true;
                    }
                    break;
                default:
                    break;
                }
            }
            if (t.video && !readVideo(b, t)) return damaged("Video");
            m_.trackList.push_back(std::move(t));
        }
        return {};
    }

    Status scanBlocks() {
        for (std::size_t i = 0; i < m_.trackList.size(); ++i) {
            const MkvTrack& t = m_.trackList[i];
            if (t.isVideo() && t.codec == "V_PRORES") {
                inBandTracks_[t.number] = {i, false, true};
                continue;
            }
            if (!t.isVideo() || !t.codecPrivate) continue;
            const Bytes record =
                Bytes(m_.tracksBytes)
                    .subspan(t.codecPrivate->dataStart(), t.codecPrivate->header.size);
            InBandTrack c{i};
            if (t.codec == "V_AV1") {
                c.av1 = true;
            } else if (t.codec == "V_MPEG4/ISO/AVC" || t.codec == "V_MPEGH/ISO/HEVC") {
                c.codec = t.codec == "V_MPEG4/ISO/AVC" ? VideoCodec::h264 : VideoCodec::hevc;
                const auto config = c.codec == VideoCodec::h264 ? avcCSps(record) : hvcCSps(record);
                if (!config) continue;
                c.lengthSize = config->lengthSize;
            } else {
                continue;
            }
            inBandTracks_[t.number] = c;
        }
        if (inBandTracks_.empty()) return {};
        // A read a block is what the walk costs, mostly the system call's: the Clusters are
        // split into two runs of about equal bytes, walked side by side and joined in file order.
        // The first run's failure is the one a walk from the start would meet.
        const auto& top = m_.top;
        std::uint64_t bytes = 0, half = 0;
        std::size_t clusters = 0, split = top.size();
        for (const auto& el : top)
            if (el.header.id == e::CLUSTER) bytes += el.header.size, ++clusters;
        for (std::size_t i = 0; i < top.size() && clusters >= 2; ++i) {
            if (top[i].header.id != e::CLUSTER) continue;
            if (half > 0 && half >= bytes / 2) {
                split = i;
                break;
            }
            half += top[i].header.size;
        }
        BlockWalk first(file_, size_, inBandTracks_), second(file_, size_, inBandTracks_);
        Status firstDone, secondDone;
        std::exception_ptr thrown;
        std::optional<std::thread> beside;
        if (split < top.size()) {
            try {
                beside.emplace([&] {
                    try {
                        secondDone = second.clusters(top, split, top.size());
                    } catch (...) {
                        thrown = std::current_exception();
                    }
                });
            } catch (const std::system_error&) {
                // No thread to be had: one walk does it all.
            }
        }
        try {
            firstDone = first.clusters(top, 0, beside ? split : top.size());
        } catch (...) {
            if (beside) beside->join();
            throw;
        }
        if (beside) beside->join();
        if (firstDone.failed()) return firstDone;
        if (thrown) std::rethrow_exception(thrown);
        if (secondDone.failed()) return secondDone;
        m_.inBand = std::move(first.inBand);
        m_.inBand.insert(m_.inBand.end(), std::make_move_iterator(second.inBand.begin()),
                         std::make_move_iterator(second.inBand.end()));
        for (const BlockWalk* w : {&first, &second})
            for (std::size_t t : w->laced)
                m_.trackList[t].laced = true;
        return {};
    }

    static bool readVideo(Bytes b, MkvTrack& t) {
        const auto video = e::listChildren(b, t.video->dataStart(), t.video->end());
        if (!video.complete || !sized(video)) return false;
        t.colour = e::findChild(video, e::COLOUR);
        if (!t.colour) return true;
        const auto colour = e::listChildren(b, t.colour->dataStart(), t.colour->end());
        if (!colour.complete || !sized(colour)) return false;
        for (const auto& c : colour.elements) {
            if (c.header.id == e::MASTERING_METADATA) t.mastering = true;
            std::optional<UintField>* field = c.header.id == e::PRIMARIES ? &t.primaries
                                              : c.header.id == e::TRANSFER_CHARACTERISTICS
                                                  ? &t.transfer
                                              : c.header.id == e::MATRIX_COEFFICIENTS ? &t.matrix
                                                                                      : nullptr;
            if (!field) continue; // masters and the other values are no one's to check here
            if (c.header.size > 8) return false;
            *field = UintField{c.offset, c.dataStart(), unsigned(c.header.size),
                               e::readUint(b.subspan(c.dataStart(), c.header.size))};
        }
        return true;
    }

    // A stored position as an offset field: its value counts from the Segment's data.
    void addPosition(Bytes bytes, std::uint64_t absStart, const e::Element& el) {
        const std::uint64_t width = el.header.size;
        if (width == 0 || width > 8) return;
        const std::uint64_t value = e::readUint(bytes.subspan(el.dataStart(), width));
        const std::uint64_t target = m_.segment.dataStart() + value;
        m_.positions.push_back({absStart + el.dataStart(), int(width), value, target, target});
    }

    Status readSeekHead(const e::Element& el) {
        auto bytes = readWhole(el, MAX_SEEK_HEAD);
        if (bytes.failed()) return bytes.failure();
        const Bytes b = *bytes;
        const auto seeks = e::listChildren(b, el.header.headerSize(), b.size());
        if (!seeks.complete) return damaged("SeekHead");
        for (const auto& seek : seeks.elements) {
            if (seek.header.id != e::SEEK) continue;
            const auto kids = e::listChildren(b, seek.dataStart(), seek.end());
            if (!kids.complete) return damaged("Seek");
            if (const auto pos = e::findChild(kids, e::SEEK_POSITION))
                addPosition(b, el.offset, *pos);
        }
        if (auto crc = crcOf(b, el.offset)) m_.checked.push_back(std::move(*crc));
        return {};
    }

    Status readCues(const e::Element& el) {
        auto bytes = readWhole(el, MAX_CUES);
        if (bytes.failed()) return bytes.failure();
        const Bytes b = *bytes;
        const auto points = e::listChildren(b, el.header.headerSize(), b.size());
        if (!points.complete) return damaged("Cues");
        for (const auto& point : points.elements) {
            if (point.header.id != e::CUE_POINT) continue;
            const auto kids = e::listChildren(b, point.dataStart(), point.end());
            if (!kids.complete) return damaged("CuePoint");
            for (const auto& tp : kids.elements) {
                if (tp.header.id != e::CUE_TRACK_POSITIONS) continue;
                const auto fields = e::listChildren(b, tp.dataStart(), tp.end());
                if (!fields.complete) return damaged("CueTrackPositions");
                for (const auto& f : fields.elements) {
                    const bool codecState = f.header.id == e::CUE_CODEC_STATE &&
                                            e::readUint(b.subspan(f.dataStart(), f.header.size));
                    if (f.header.id == e::CUE_CLUSTER_POSITION || codecState)
                        addPosition(b, el.offset, f);
                }
            }
        }
        if (auto crc = crcOf(b, el.offset)) m_.checked.push_back(std::move(*crc));
        return {};
    }

    const FileHandle& file_;
    std::uint64_t size_;
    MkvFile m_;
    InBandTracks inBandTracks_;
};

} // namespace

std::optional<CrcElement> crcOf(Bytes elementBytes, std::uint64_t absStart) {
    const auto head = e::decodeHeader(
        elementBytes.first(std::min<std::size_t>(elementBytes.size(), e::MAX_HEADER)),
        elementBytes.size());
    if (!head) return std::nullopt;
    const auto kids = e::listChildren(elementBytes, head->headerSize(), elementBytes.size());
    if (kids.elements.empty()) return std::nullopt;
    const e::Element& first = kids.elements.front();
    if (first.header.id != e::CRC32 || first.header.size != 4) return std::nullopt;
    CrcElement c;
    c.dataStart = absStart + head->headerSize();
    c.crcAt = absStart + first.dataStart();
    c.coveredFrom = absStart + first.end();
    const Bytes data = elementBytes.subspan(head->headerSize());
    c.data.assign(data.begin(), data.end());
    c.matches = e::crc32(elementBytes.subspan(first.end())) ==
                readUnsigned(elementBytes, first.dataStart(), 4, false);
    return c;
}

Result<MkvFile> loadMatroska(const FileHandle& file, std::uint64_t fileSize) {
    return Loader(file, fileSize).load();
}

} // namespace tg
