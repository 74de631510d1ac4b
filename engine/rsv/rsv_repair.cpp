#include "rsv/rsv_repair.h"

#include "base/bytes.h"
#include "base/damage_log.h"
#include "base/engine_contract.h"
#include "base/errors.h"
#include "codec/nal.h"
#include "mp4/file_head.h"
#include "output/output.h"
#include "output/output_check.h"
#include "output/output_file.h"
#include "rsv/assembly.h"
#include "rsv/one_group.h"
#include "rsv/resync_walk.h"
#include "rsv/rsv_start.h"
#include "rsv/stream_check.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

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

    walkBand.progress(0);
    walkResynchronising(rsv, walker, assembly, dataStart, walkBand, opt.verbose);
    walkBand.progress(100);
    if (assembly.videoFrames() == 0)
        throw EngineError(Kind::Input, "no complete video frame found in the RSV");
    if (refFile) checkFrameSize(*refFile, ref, ps, rsv, assembly);
    std::string note = assembly.finish();
    if (!note.empty()) rep.info(note);
    for (const auto& lost : assembly.lost())
        rep.info(lostLine(lost.kind == TrackKind::Video ? "video" : lost.kind == TrackKind::Audio ? "audio" : "metadata",
                          lost.from, lost.to));

    // The payload ends with the last byte any kept sample uses; the silence
    // that stands in for lost sound follows it.
    const int64_t payload = assembly.payloadEnd() - dataStart;
    const int64_t silence = assembly.silenceBytes();
    rep.info("found " + std::to_string(assembly.groups()) + " groups, " +
             std::to_string(assembly.videoFrames()) + " frames, " + formatBytes(payload) +
             " of media data");

    std::vector<uint8_t> head = ref.ftyp;
    if (head.empty()) head = defaultFtyp();
    const int64_t payloadBase = int64_t(head.size()) + 16;
    std::vector<uint8_t> mdat;
    putBe32(mdat, 1);
    putBe32(mdat, fourcc("mdat"));
    putBe64(mdat, uint64_t(payload + silence + 16));
    head.insert(head.end(), mdat.begin(), mdat.end());
    auto moov = assembly.buildMoov(dataStart, payloadBase, opt.co64Threshold);

    rep.info(engine_contract::kSavingWord + opt.output);
    rep.progress(0);
    OutputFile out(opt.output);
    auto writeAll = [&](const std::vector<uint8_t>& bytes, int64_t at) {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = ::pwrite(out.fd(), bytes.data() + done, bytes.size() - done, at + int64_t(done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0)
                throw EngineError::writing(errno, "writing " + out.tempPath() + " failed: " + std::strerror(errno));
            done += size_t(n);
        }
    };
    writeAll(head, 0);
    copyRange(rsv.fd(), dataStart, out.fd(), payloadBase, payload, [&](int64_t done) {
        rep.progress(payload ? 100.0 * double(done) / double(payload) : 100.0);
    });
    for (int64_t at = 0; at < silence;) {
        const std::vector<uint8_t> zeros(size_t(std::min<int64_t>(silence - at, 1 << 20)));
        writeAll(zeros, payloadBase + payload + at);
        at += int64_t(zeros.size());
    }
    writeAll(moov, payloadBase + payload + silence);
    out.sync();
    // Parts of the movie box come from the reference as they are; a damaged
    // one can make a file no player opens, which must not pass as success.
    if (auto why = unplayableMovie(out.tempPath()))
        throw EngineError(Kind::Reference, "the repaired movie is unplayable: " + *why +
                                               "; the reference's movie header may be damaged (kept as " +
                                               out.tempPath() + ")");
    out.publish();
    rep.progress(100);

    for (const auto& t : assembly.tracks()) {
        if (t.samples == 0) continue;
        const auto& info = ref.tracks[size_t(t.ref)];
        const char* kind = t.kind == TrackKind::Video ? "video" : t.kind == TrackKind::Audio ? "audio" : "metadata";
        char line[160];
        snprintf(line, sizeof line, "%s %s track %u: %.3f s", engine_contract::kDurationOf, kind, info.id,
                 assembly.seconds(t));
        rep.info(line);
    }
    RepairSummary s;
    s.frames = assembly.videoFrames();
    s.groups = assembly.groups();
    s.payloadBytes = payload;
    s.outputBytes = payloadBase + payload + silence + int64_t(moov.size());
    return s;
}

}  // namespace tv
