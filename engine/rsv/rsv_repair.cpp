#include "rsv/rsv_repair.h"

#include "base/bytes.h"
#include "base/damage_log.h"
#include "base/engine_contract.h"
#include "base/errors.h"
#include "codec/nal.h"
#include "mp4/file_head.h"
#include "output/movie_output.h"
#include "output/payload_chase.h"
#include "rsv/assembly.h"
#include "rsv/one_group.h"
#include "rsv/resync_walk.h"
#include "rsv/rsv_start.h"
#include "rsv/stream_check.h"

#include <algorithm>
#include <memory>

namespace tv {
namespace {

using Kind = EngineError::Kind;

std::string formatBytes(int64_t n) { return std::to_string(n) + " bytes"; }

// Refuses a reference recorded at another frame size than the RSV (its
// parameter sets would describe pictures the RSV's slices do not fit).
void checkFrameSize(const ByteSource& refFile, const Reference& ref, const ParameterSets& ps,
                    const ByteSource& rsv, const Assembly& assembly) {
    const auto& v = ref.videoTrack();
    const OutTrack& out = assembly.tracks().front();
    if (out.chunks.empty()) return;
    std::vector<std::vector<uint32_t>> rsvLayouts;
    int64_t at = out.chunks.front().offset;
    for (size_t i = 0; i < out.chunks.front().samples && i < 8; ++i) {
        auto l = sliceAddresses(rsv, at, out.sizes[i], v.video.codec, v.video.nalLengthSize, ps);
        if (!l) return;
        rsvLayouts.push_back(std::move(*l));
        at += out.sizes[i];
    }
    const uint64_t units = uint64_t((v.video.width + 15) / 16) * uint64_t((v.video.height + 15) / 16);
    if (auto why = frameSizeMismatch(referenceSliceLayouts(refFile, ref, ps), rsvLayouts, units))
        throw EngineError(Kind::ReferenceMismatch, "the reference does not match the RSV's stream: " + *why +
                                               "; use a recording made with the same settings");
}

// OUT from its head on: created before the walk when the RSV is still being
// copied, so its payload can follow the copy (`chase`), else after it.
struct MovieStart {
    std::unique_ptr<MovieOutput> out;
    int64_t payloadBase = 0;
    std::unique_ptr<PayloadChase> chase;  // after out: stopped before out closes

    void begin(const RepairOptions& opt, const FileSource& rsv, const Reference& ref, int64_t dataStart) {
        if (out) return;
        out = std::make_unique<MovieOutput>(opt.output);
        payloadBase = out->beginMedia(ref.ftyp.empty() ? defaultFtyp() : ref.ftyp, dataStart);
        if (rsv.frontier()) chase = std::make_unique<PayloadChase>(*out, rsv.fd(), dataStart, *rsv.frontier());
    }
};

// OUT: the head, the RSV's bytes from the media data's start on (shared with
// the RSV where the volume can), the silence that stands in for lost sound,
// the new moov. Returns the file's size.
int64_t writeMovie(const RepairOptions& opt, const FileSource& rsv, const Reference& ref, const Assembly& assembly,
                   int64_t dataStart, int64_t payload, Reporter& rep, MovieStart& start) {
    start.begin(opt, rsv, ref, dataStart);
    MovieOutput& out = *start.out;
    const auto moov = assembly.buildMoov(dataStart, start.payloadBase, opt.co64Threshold);
    const auto onProgress = [&](int64_t done) {
        rep.progress(payload ? 100.0 * double(done) / double(payload) : 100.0);
    };
    const int64_t shared = start.chase ? start.chase->finish(payload, onProgress)
                                       : out.appendShared(rsv.fd(), dataStart, payload, onProgress);
    const std::vector<uint8_t> zeros(size_t(std::min<int64_t>(assembly.silenceBytes(), 1 << 20)));
    for (int64_t at = 0; at < assembly.silenceBytes(); at += int64_t(zeros.size()))
        out.append(zeros.data(), size_t(std::min<int64_t>(assembly.silenceBytes() - at, int64_t(zeros.size()))));
    out.endMedia();
    out.append(moov);
    const int64_t size = out.pos();
    out.finish(Kind::Reference, "the reference's movie header may be damaged", &rep);
    rep.info(footageLine(shared, payload));
    return size;
}

}  // namespace

RepairSummary runRsvRepair(const RepairOptions& opt, const FileSource& rsv, const FileSource* refFile,
                           const Reference& ref, Reporter& walkBand, Reporter& rep) {
    rep.info((refFile ? "reference: " : "recording: ") + describe(ref));
    const StreamLayout layout = StreamLayout::from(ref);
    const auto& video = ref.videoTrack();
    const ParameterSets ps = ParameterSets::fromConfig(video.video.codec, video.video.parameterSets);
    if (!ps.usable())
        rep.info("the reference's parameter sets did not parse; picture order will follow the reference");

    GroupWalker walker(rsv, layout, ps);
    Assembly assembly(ref, layout, ps);
    const int64_t dataStart = locateMediaData(rsv, walker, assembly.clock(), rep);
    // A recording still being copied: its payload is written while the walk
    // follows the copy (a failed run leaves OUT's temporary file, as always).
    MovieStart start;
    if (rsv.frontier()) start.begin(opt, rsv, ref, dataStart);

    walkBand.progress(0);
    walkResynchronising(rsv, walker, assembly, dataStart, walkBand, opt.verbose);
    // The walk may end on the file's length without reading its last bytes
    // (a cut group's sound is counted, not read): a copy that failed after
    // them must still fail the repair.
    rsv.awaitComplete();
    walkBand.progress(100);
    if (assembly.videoFrames() == 0)
        throw EngineError(Kind::Input, "no complete video frame found in the RSV");
    if (refFile) checkFrameSize(*refFile, ref, ps, rsv, assembly);
    std::string note = assembly.finish();
    if (!note.empty()) rep.info(note);
    for (const auto& lost : assembly.lost())
        rep.info(lostLine(lost.kind == TrackKind::Video ? "video" : lost.kind == TrackKind::Audio ? "audio" : "metadata",
                          lost.from, lost.to));

    // The payload ends with the last byte any kept sample uses.
    const int64_t payload = assembly.payloadEnd() - dataStart;
    rep.info("found " + std::to_string(assembly.groups()) + " groups, " +
             std::to_string(assembly.videoFrames()) + " frames, " + formatBytes(payload) +
             " of media data");

    rep.info(engine_contract::kSavingWord + opt.output);
    rep.progress(0);
    const int64_t outputBytes = writeMovie(opt, rsv, ref, assembly, dataStart, payload, rep, start);
    rep.progress(100);

    for (const auto& t : assembly.tracks()) {
        if (t.samples == 0) continue;
        const char* kind = t.kind == TrackKind::Video ? "video" : t.kind == TrackKind::Audio ? "audio" : "metadata";
        rep.info(durationLine(kind, ref.tracks[size_t(t.ref)].id, assembly.seconds(t)));
    }
    RepairSummary s;
    s.frames = assembly.videoFrames();
    s.groups = assembly.groups();
    s.payloadBytes = payload;
    s.outputBytes = outputBytes;
    return s;
}

}  // namespace tv
