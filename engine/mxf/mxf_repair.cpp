#include "mxf/mxf_repair.h"

#include "base/bytes.h"
#include "base/engine_contract.h"
#include "base/errors.h"
#include "mxf/mxf_klv.h"
#include "mxf/mxf_mp4.h"
#include "mxf/mxf_walk.h"
#include "output/movie_output.h"
#include "base/damage_log.h"
#include "mp4/file_head.h"
#include "base/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tv {
namespace {

using Kind = EngineError::Kind;

constexpr size_t kReadWindow = 1u << 20;
// Ranges at least this long are copied in the kernel (copy_file_range) rather
// than through the write buffer: the bulk of a picture, its slice data.
constexpr uint32_t kKernelCopyBytes = 32u << 10;
constexpr int64_t kFirstPictureWindow = 64LL << 20;

// Forward reads through one window: a package's elements lie close together,
// so one read serves many of them. A picture larger than the window widens
// it (bounded by the walk's picture size cap).
class WindowReader {
public:
    explicit WindowReader(const FileSource& src) : src_(src), buf_(kReadWindow) {}
    const uint8_t* view(int64_t offset, size_t n) {
        if (start_ < 0 || offset < start_ || offset + int64_t(n) > start_ + int64_t(len_)) {
            if (n > buf_.size()) buf_.resize(n);
            start_ = -1;
            len_ = src_.read(offset, buf_.data(), buf_.size());
            if (len_ < n) throw EngineError(Kind::Io, "the RSV became shorter while it was read");
            start_ = offset;
        }
        return buf_.data() + (offset - start_);
    }

private:
    const FileSource& src_;
    std::vector<uint8_t> buf_;
    int64_t start_ = -1;
    size_t len_ = 0;
};

// The first picture element of a file (for parameter sets a recording does
// not carry in its own first picture).
std::optional<AnnexBPicture> firstPicture(const ByteSource& src, uint32_t track) {
    int64_t pos = 0;
    while (pos < src.size() && pos < kFirstPictureWindow) {
        auto k = readKlv(src, pos);
        if (!k || k->end() > src.size()) return std::nullopt;
        if (keyKind(k->key.data()) == KeyKind::Essence && essenceTrackNumber(k->key) == track) {
            if (k->length > kMaxPictureBytes) return std::nullopt;
            auto bytes = src.readVector(k->valueOffset, size_t(k->length));
            std::vector<uint8_t> scratch;
            AnnexBPicture pic;
            if (!annexBToLengthPrefixed(bytes.data(), bytes.size(), scratch, &pic)) return std::nullopt;
            return pic;
        }
        pos = k->end();
    }
    return std::nullopt;
}

// The first picture of the walk that is an H.264 access unit (damage may
// have taken the ones before it).
AnnexBPicture firstKeptPicture(const MxfWalk& walk, WindowReader& in) {
    std::vector<uint8_t> scratch;
    for (size_t p = 0; p < walk.packages(); ++p) {
        const size_t at = p * walk.elementsPerPackage;
        AnnexBPicture pic;
        if (walk.offsets[at] >= 0 &&
            annexBToLengthPrefixed(in.view(walk.offsets[at], walk.lengths[at]), walk.lengths[at], scratch, &pic))
            return pic;
    }
    throw EngineError(EngineError::Kind::Input, "the pictures of the RSV are not an H.264 byte stream");
}

// Holds a walk's lines until the walk is known to be the one that counts.
class HeldLines : public Reporter {
public:
    HeldLines(Reporter& out, bool showProgress) : out_(out), showProgress_(showProgress) {}
    void info(const std::string& line) override { lines_.push_back(line); }
    void progress(double percent) override {
        if (showProgress_) out_.progress(percent);
    }
    void release() {
        for (const auto& l : lines_) out_.info(l);
        lines_.clear();
    }

private:
    Reporter& out_;
    bool showProgress_;
    std::vector<std::string> lines_;
};

struct Plan {
    MxfSettings settings;
    MxfWalk walk;
    bool fromReference = false;
};

std::string trackList(const std::set<uint32_t>& tracks) {
    std::string list;
    for (uint32_t t : tracks) list += (list.empty() ? "" : ", ") + trackNumberText(t);
    return list;
}

bool describes(const MxfSettings& s, const std::set<uint32_t>& tracks) {
    for (uint32_t t : tracks)
        if (t != s.pictureTrack && std::none_of(s.sounds.begin(), s.sounds.end(),
                                                [&](const MxfSoundTrack& x) { return x.trackNumber == t; }))
            return false;
    return true;
}

// Sound samples per edit unit must match the edit rate (within one sample:
// 29.97 and 59.94 alternate): settings of another rate would misplace every
// frame in time.
std::optional<std::string> rateMismatch(const MxfSettings& s, const MxfWalk& w) {
    if (w.packages() == 0) return std::nullopt;
    for (size_t i = 0; i < s.sounds.size(); ++i) {
        const auto& t = s.sounds[i];
        int64_t samples = w.lengths[1 + i] / t.blockAlign;
        int64_t expected2 = 2 * int64_t(t.sampleRate) * s.editRate.den / s.editRate.num;  // twice, to round
        if (std::llabs(2 * samples - expected2) > 2)
            return "sound track " + trackNumberText(t.trackNumber) + " holds " + std::to_string(samples) +
                   " samples per frame, not what edit rate " + std::to_string(s.editRate.num) + "/" +
                   std::to_string(s.editRate.den) + " gives";
    }
    return std::nullopt;
}

// The settings and the walk: the RSV's own header metadata, or the
// reference's when the RSV lost them (then the essence must match them) or
// when its own do not describe essence tracks the RSV carries.
Plan plan(const FileSource& rsv, const FileSource* ref, Reporter& rep) {
    Plan p;
    auto own = readMxfSettings(rsv);
    if (own) {
        rep.info("recording: " + own->describe());
        HeldLines held(rep, true);
        p.settings = *own;
        p.walk = walkMxf(rsv, p.settings, held);
        if (p.walk.foreignTracks.empty()) {
            held.release();
        } else if (auto theirs = ref ? readMxfSettings(*ref) : std::nullopt;
                   theirs && theirs->pictureTrack == own->pictureTrack && describes(*theirs, p.walk.foreignTracks)) {
            rep.info("the RSV's header metadata do not describe essence tracks " + trackList(p.walk.foreignTracks) +
                     "; the reference's are used");
            p.settings = *theirs;
            p.settings.timecode = own->timecode;
            HeldLines again(rep, false);  // the progress has already reached its end once
            p.walk = walkMxf(rsv, p.settings, again);
            again.release();
        } else {
            held.release();
            rep.info("note: essence tracks " + trackList(p.walk.foreignTracks) +
                     " are not in the header metadata; they are not recovered");
        }
        if (auto why = rateMismatch(p.settings, p.walk)) rep.info("note: " + *why);
        return p;
    }
    if (!ref)
        throw EngineError(Kind::ReferenceNeeded, "the RSV has lost its header metadata; a finished MXF from the "
                                                 "same camera is needed as the reference");
    auto theirs = readMxfSettings(*ref);
    if (!theirs)
        throw EngineError(Kind::Reference, "the RSV has lost its header metadata and the reference's "
                                           "header metadata could not be read; choose a finished MXF "
                                           "from the same camera");
    rep.info("the RSV has no header metadata; its settings are taken from the reference");
    p.fromReference = true;
    p.settings = *theirs;
    p.settings.timecode.reset();  // the reference's start timecode belongs to another clip
    rep.info("recording: " + p.settings.describe());
    p.walk = walkMxf(rsv, p.settings, rep);
    if (!p.walk.sawEssence) throw EngineError(Kind::Input, "no MXF essence found in the RSV");
    std::optional<std::string> why;
    if (!p.walk.foreignTracks.empty())
        why = "essence tracks " + trackList(p.walk.foreignTracks) + " are not in its header metadata";
    else if (!p.walk.sawPicture)
        why = "no picture element of track " + trackNumberText(p.settings.pictureTrack);
    else
        why = rateMismatch(p.settings, p.walk);
    if (why)
        throw EngineError(Kind::ReferenceMismatch, "the reference does not match the RSV's essence (" + *why +
                                                   "); use a recording made with the same settings");
    return p;
}

// Appends package p: the picture as length-prefixed NAL units (the long
// ones, slice data, copied in the kernel) unless the walk lost it or it is
// no H.264 access unit (its size is then 0), and each sound element as
// stored, or silence of its length where the walk lost it. The tables'
// offsets become the output's. Returns whether the picture was kept.
bool appendPackage(MovieOutput& out, const FileSource& rsv, WindowReader& in, MxfTables& tables, size_t p) {
    const size_t per = tables.elementsPerPackage;
    const int64_t picAt = tables.offsets[p * per];
    const uint32_t picLen = tables.sizes[p * per];
    AnnexBPicture info;
    const uint8_t* pic = picAt < 0 ? nullptr : in.view(picAt, picLen);
    const auto nals = pic ? annexBNals(pic, picLen, &info) : std::vector<NalSpan>{};
    const int64_t sampleAt = out.pos();
    for (const NalSpan& nal : nals) {
        uint8_t len[4];
        setBe32(len, nal.length);
        out.append(len, 4);
        if (nal.length >= kKernelCopyBytes) out.appendFrom(rsv.fd(), picAt + int64_t(nal.offset), nal.length);
        else out.append(pic + nal.offset, nal.length);
    }
    tables.offsets[p * per] = sampleAt;
    tables.sizes[p * per] = uint32_t(out.pos() - sampleAt);
    tables.sync.push_back(info.idr);
    static const std::vector<uint8_t> silence(64 << 10);
    for (size_t i = 1; i < per; ++i) {
        const int64_t at = tables.offsets[p * per + i];
        const uint32_t len = tables.sizes[p * per + i];
        tables.offsets[p * per + i] = out.pos();
        if (at < 0) {
            for (uint32_t left = len; left > 0;) {
                const uint32_t n = std::min<uint32_t>(left, uint32_t(silence.size()));
                out.append(silence.data(), n);
                left -= n;
            }
        } else if (len >= kKernelCopyBytes) {
            out.appendFrom(rsv.fd(), at, len);
        } else {
            out.append(in.view(at, len), len);
        }
    }
    return !nals.empty();
}

// "lost video|audio from X s to Y s" for the lead and every run of packages
// whose picture, or any of whose sound elements, did not come from the RSV.
void reportLost(const std::vector<bool>& pictureLost, const std::vector<bool>& soundLost, int64_t lead,
                const MxfTrackTimes& clock, Reporter& rep) {
    const double perPackage = double(clock.duration) / double(clock.timescale);
    for (const char* kind : {"video", "audio"})
        if (lead > 0) rep.info(lostLine(kind, 0.0, double(lead) * perPackage));
    for (auto [kind, lost] : {std::pair<const char*, const std::vector<bool>*>{"video", &pictureLost},
                              {"audio", &soundLost}}) {
        for (size_t p = 0; p < lost->size();) {
            if (!(*lost)[p]) {
                ++p;
                continue;
            }
            size_t q = p;
            while (q < lost->size() && (*lost)[q]) ++q;
            rep.info(lostLine(kind, double(lead + int64_t(p)) * perPackage, double(lead + int64_t(q)) * perPackage));
            p = q;
        }
    }
}

// Writes OUT: ftyp, the mdat (timecode sample, then package by package the
// picture and its sound), the moov. Returns the moov's tracks and the kept
// pictures' count.
struct Written {
    MxfMovie movie;
    size_t kept = 0;
    int64_t payload = 0, outputBytes = 0;
};

Written writeMovie(const std::string& path, const FileSource& rsv, WindowReader& in, const MxfSettings& settings,
                   const AvcConfig& avc, MxfWalk& walk, Reporter& rep) {
    MovieOutput out(path);
    const int64_t payloadBase = out.beginMedia(defaultFtyp());
    MxfTables tables;
    tables.elementsPerPackage = walk.elementsPerPackage;
    if (settings.timecode) {
        tables.timecodeSampleOffset = out.pos();
        uint8_t tc[4];
        setBe32(tc, uint32_t(settings.timecode->startFrames));
        out.append(tc, 4);
    }
    const size_t per = tables.elementsPerPackage, packages = walk.packages();
    std::vector<bool> pictureLost(packages), soundLost(packages);
    for (size_t p = 0; p < packages; ++p)
        for (size_t i = 1; i < per; ++i) soundLost[p] = soundLost[p] || walk.lost(p, i);
    // The output's offsets replace the walk's, package by package.
    tables.offsets = std::move(walk.offsets);
    tables.sizes = std::move(walk.lengths);
    DamageLog log;
    size_t kept = 0;
    int lastShown = -1;
    for (size_t p = 0; p < packages; ++p) {
        const int64_t at = tables.offsets[p * per];
        const uint32_t len = tables.sizes[p * per];
        if (appendPackage(out, rsv, in, tables, p)) ++kept;
        else pictureLost[p] = true;
        if (pictureLost[p] && at >= 0)
            rep.info(log.skip(at, len, "a picture element that is not an H.264 access unit (damaged)"));
        int pct = int(100.0 * double(p + 1) / double(packages));
        if (pct != lastShown) rep.progress(lastShown = pct);
    }
    if (log.ranges() > 0) rep.info(log.totals());
    bool longGop = false;
    for (size_t p = 0; p < packages; ++p) longGop = longGop || (!pictureLost[p] && !tables.sync[p]);
    if (longGop)
        rep.info("note: not every picture is an IDR picture (long GOP); the pictures keep their stored "
                 "order without composition offsets");
    if (kept == 0) throw EngineError(Kind::Input, "no picture of the RSV is an H.264 access unit");
    tables.leadUnits = walk.leadUnits;
    reportLost(pictureLost, soundLost, walk.leadUnits, videoClock(settings.editRate), rep);
    out.endMedia();
    Written w;
    w.kept = kept;
    w.payload = out.pos() - payloadBase;
    w.movie = buildMxfMoov(settings, avc, tables);
    out.append(w.movie.moov);
    w.outputBytes = out.pos();
    out.finish(Kind::Output, {}, &rep);
    return w;
}

}  // namespace

bool isMxfFamily(const ByteSource& src) { return startsWithMxfKey(src); }

RepairSummary runMxfRepair(const RepairOptions& opt, const FileSource& rsv, const FileSource* ref, Reporter& rep) {
    if (ref && !isMxfFamily(*ref))
        throw EngineError(Kind::ReferenceFormat, "the RSV is an MXF recording but the reference is not an MXF file; "
                                                 "choose a finished MXF from the same camera");
    rep.progress(0);
    Plan pl = plan(rsv, ref, rep);
    const MxfSettings& settings = pl.settings;
    MxfWalk& walk = pl.walk;
    if (walk.packages() == 0) throw EngineError(Kind::Input, "no complete frame found in the RSV");

    WindowReader in(rsv);
    AnnexBPicture first = firstKeptPicture(walk, in);
    if (first.sps.empty() || first.pps.empty()) {
        auto theirs = ref ? firstPicture(*ref, settings.pictureTrack) : std::nullopt;
        if (!theirs || theirs->sps.empty() || theirs->pps.empty())
            throw EngineError(Kind::ReferenceNeeded, "the RSV's pictures carry no H.264 parameter sets and no "
                                                     "reference supplies them");
        first = *theirs;
        rep.info("parameter sets taken from the reference");
    }
    auto avc = makeAvcConfig(first.sps, first.pps);
    if (!avc) throw EngineError(Kind::Input, "the H.264 sequence parameter set does not parse");
    if (pl.fromReference) {
        // Same track numbers at another picture size: the reference's pictures tell.
        auto theirs = firstPicture(*ref, settings.pictureTrack);
        auto refAvc = theirs ? makeAvcConfig(theirs->sps, theirs->pps) : std::nullopt;
        if (refAvc && (refAvc->width != avc->width || refAvc->height != avc->height))
            throw EngineError(Kind::ReferenceMismatch, "the reference's pictures are " + std::to_string(refAvc->width) + "x" +
                                                       std::to_string(refAvc->height) + ", the RSV's " +
                                                       std::to_string(avc->width) + "x" + std::to_string(avc->height) +
                                                       "; use a recording made with the same settings");
    }
    rep.info("found " + std::to_string(walk.packages()) + " frames, " + groupDigits(walk.payloadBytes()) +
             " bytes of media data");

    rep.info(engine_contract::kSavingWord + opt.output);
    rep.progress(0);
    Written w = writeMovie(opt.output, rsv, in, settings, *avc, walk, rep);
    const MxfMovie& movie = w.movie;
    rep.progress(100);

    for (size_t i = 0; i < movie.tracks.size(); ++i) {
        const auto& t = movie.tracks[i];
        const char* kind = i == 0 ? "video" : i <= settings.sounds.size() ? "audio" : "timecode";
        const double lead = double(t.lead) / double(movie.tracks[0].timescale);
        rep.info(durationLine(kind, unsigned(i + 1), t.timescale ? lead + double(t.duration) / double(t.timescale) : 0.0));
    }
    rep.info(footageLine(0, w.payload, "the pictures are rewritten as MP4 samples"));
    RepairSummary s;
    s.frames = w.kept;
    s.groups = w.kept;
    s.payloadBytes = w.payload;
    s.outputBytes = w.outputBytes;
    return s;
}

}  // namespace tv
