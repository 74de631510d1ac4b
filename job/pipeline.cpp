#include "job/pipeline.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "engine/base/engine_contract.h"
#include "job/copy.h"
#include "job/engine_run.h"
#include "job/job_error.h"
#include "job/paths.h"
#include "job/work_claim.h"
#include "media/probe.h"
#include "scan/fs_queries.h"

namespace {

const char kUnexpected[] = "예기치 않은 오류가 났습니다 — 다시 시도해 보세요";
const char kInPlace[] = "작업 볼륨 안 파일 — 복사 생략";
// A recovery of a recording recovered before writes a new file beside the
// earlier result; the page says which one is new.
const char kDoneBeside[] = "복구 완료 — 새 파일 ";
const char kEarlierKept[] = " (이전 복구본은 그대로 있습니다)";
const char kCancelled[] = "취소됨 — 작업 폴더의 파일은 그대로 있습니다";

// Time left belongs to the stage that measured it: a new stage starts without.
Value withoutEstimate(Value changes) {
    changes["eta_s"] = nullptr;
    changes["rate_mb_s"] = nullptr;
    return changes;
}

const char kNote[] = "편집 프로그램에서 정상 확인 전까지 카드 포맷 금지 · 확인 후 작업 폴더의 RSV 사본은 지워도 됩니다";

struct Point {
    const char* tag;
    double t;
};

}  // namespace

Verifier Verifier::media() {
    return Verifier{[](const std::string& path) { return ::probe(path); },
                    [](const std::string& path) { return MediaAsset::open(path); },
                    [](MediaAsset& asset, double at) { return thumbnailDataURL(asset, at); }};
}

void runJob(Job& job, const std::string& rsvPath, const std::string& refPath, const std::string& volRoot) {
    runJob(job, rsvPath, refPath, volRoot, Verifier::media());
}

void runJob(Job& job, const std::string& rsvPath, const std::string& refPath, const std::string& volRoot,
            const Verifier& verifier) {
    try {
        job.throwIfCancelled();
        const bool inPlace =
            rsvPath.rfind(volRoot + "/", 0) == 0 || sameFile(rsvPath, workPaths(rsvPath, volRoot).copy);
        const WorkClaim claim(rsvPath, volRoot, inPlace);
        const WorkPaths& paths = claim.paths();

        job.update(Value{{"stage", "copy"}, {"work_dir", paths.folder}, {"out", paths.recovered}});

        std::string input;
        // The RSV may already lie in the work folder under a spelling of the
        // volume the prefix test misses ("vol" with a trailing slash): copying
        // it onto itself would truncate it, so it is used in place.
        if (inPlace) {
            job.update(Value{{"pct", engine_contract::kWalkBandStart}, {"detail", kInPlace}});
            input = rsvPath;
        } else if (claim.reusesCopy()) {
            input = paths.copy;  // an earlier complete copy
        } else {
            copyWithProgress(job, rsvPath, paths.copy, engine_contract::kCopyBandStart, engine_contract::kCopyBandSpan);
            input = paths.copy;
        }

        job.throwIfCancelled();
        job.update(withoutEstimate(
            Value{{"stage", "recover"}, {"pct", engine_contract::kWalkBandStart}, {"detail", "복구 엔진 시작"}}));
        const std::vector<std::string> log = runUntrunc(job, refPath, input, paths.recovered);

        job.update(withoutEstimate(
            Value{{"stage", "verify"}, {"pct", engine_contract::kVerifyStart}, {"detail", "복구본 검증 중"}}));
        Value info = verifier.probe(paths.recovered);
        auto dur = info.find("dur");
        if (dur == info.end() || !dur->is_number_float() || dur->get<double>() <= 1.0)
            throw JobError("verify", 1, "복구본 길이를 읽을 수 없습니다");
        const double d = dur->get<double>();

        // The end point of a short file is 0, which decodes as well as any.
        const Point points[] = {{"start", std::min(d * 0.01, 10.0)},
                                {"mid", d * 0.5},
                                {"end", d - 15.0 > 0 ? d - 15.0 : 0.0}};
        std::unique_ptr<MediaAsset> asset = verifier.open(paths.recovered);
        Value thumbs = Value::array();
        for (const Point& p : points) {
            job.throwIfCancelled();
            job.update(Value{{"detail", std::string("검증 프레임 추출 — ") + p.tag}});
            std::optional<std::string> img = asset ? verifier.thumbnail(*asset, p.t) : std::nullopt;
            if (img) thumbs.push_back(Value{{"tag", p.tag}, {"t", p.t}, {"img", *img}});
        }
        if (thumbs.size() < 3)
            throw JobError("verify", 2,
                           "프레임 검증 실패 — " + std::to_string(thumbs.size()) + "/3 지점만 디코딩됨");

        Value durations = Value::array();
        for (const std::string& line : log)
            if (line.find(engine_contract::kDurationOf) != std::string::npos) durations.push_back(line);

        job.update(Value{{"stage", "done"},
                     {"pct", 100},
                     {"detail", claim.besideEarlierResult() ? kDoneBeside + std::filesystem::path(paths.recovered).filename().string() + kEarlierKept
                                                            : std::string("복구 완료")},
                     {"info", info},
                     {"thumbs", thumbs},
                     {"durations", durations},
                     {"out_size", fileSize(paths.recovered)},
                     {"note", kNote}});
    } catch (const JobCancelled&) {
        job.update(withoutEstimate(Value{{"stage", "cancelled"}, {"detail", kCancelled}}));
    } catch (const std::exception& e) {
        // A step that failed because it was being stopped was cancelled.
        if (job.cancelRequested()) {
            job.update(withoutEstimate(Value{{"stage", "cancelled"}, {"detail", kCancelled}}));
        } else if (dynamic_cast<const JobError*>(&e)) {
            job.update(Value{{"stage", "error"}, {"error", e.what()}});
        } else {
            // Not one of ours (memory, the standard library): its text is English,
            // so a Korean sentence leads it.
            job.update(Value{{"stage", "error"}, {"error", std::string(kUnexpected) + " (" + e.what() + ")"}});
        }
    } catch (...) {
        job.update(Value{{"stage", "error"}, {"error", "알 수 없는 오류"}});
    }
}
