#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "job/job.h"
#include "job/job_error.h"
#include "job/paths.h"
#include "job/work_claim.h"
#include "scan/fs_queries.h"

namespace {

const char kInPlace[] = "작업 볼륨 안 파일 — 복사 생략";
// A recovery of a recording recovered before writes a new file beside the
// earlier result; the page says which one is new.
const char kDoneBeside[] = "복구 완료 — 새 파일 ";
const char kEarlierKept[] = " (이전 복구본은 그대로 있습니다)";
const char kNote[] = "편집 프로그램에서 정상 확인 전까지 카드 포맷 금지 · 확인 후 작업 폴더의 RSV 사본은 지워도 됩니다";

std::string fileName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string withoutExtension(const std::string& name) {
    auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string localDate() {
    std::time_t now = std::time(nullptr);
    std::tm tm {};
    localtime_r(&now, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%y%m%d", &tm);
    return buf;
}

struct Point {
    const char* tag;
    double t;
};

}  // namespace

WorkPaths workPaths(const std::string& rsvPath, const std::string& volRoot, int variant) {
    WorkPaths p;
    p.folder = volRoot + "/RSV복구_" + localDate();
    std::string name = fileName(rsvPath);
    if (variant > 1) {
        const std::string stem = withoutExtension(name);
        name = stem + "_" + std::to_string(variant) + name.substr(stem.size());
    }
    p.copy = p.folder + "/" + name;
    p.recovered = p.folder + "/" + withoutExtension(name) + "_fixed.MP4";
    return p;
}

std::string fileIdentity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return path;
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void Job::run(const std::string& rsvPath, const std::string& refPath, const std::string& volRoot) {
    run(rsvPath, refPath, volRoot, Verifier::media());
}

void Job::run(const std::string& rsvPath, const std::string& refPath, const std::string& volRoot,
              const Verifier& verifier) {
    try {
        const bool inPlace =
            rsvPath.rfind(volRoot + "/", 0) == 0 || sameFile(rsvPath, workPaths(rsvPath, volRoot).copy);
        const WorkClaim claim(rsvPath, volRoot, inPlace);
        const WorkPaths& paths = claim.paths();

        update(Value{{"stage", "copy"}, {"work_dir", paths.folder}, {"out", paths.recovered}});

        std::string input;
        // The RSV may already lie in the work folder under a spelling of the
        // volume the prefix test misses ("vol" with a trailing slash): copying
        // it onto itself would truncate it, so it is used in place.
        if (inPlace) {
            update(Value{{"pct", 35}, {"detail", kInPlace}});
            input = rsvPath;
        } else if (claim.reusesCopy()) {
            input = paths.copy;  // an earlier complete copy
        } else {
            copyWithProgress(rsvPath, paths.copy, 0, 33);
            input = paths.copy;
        }

        update(Value{{"stage", "recover"}, {"pct", 35}, {"detail", "복구 엔진 시작"}});
        const std::vector<std::string> log = runUntrunc(refPath, input, paths.recovered);

        update(Value{{"stage", "verify"}, {"pct", 92}, {"detail", "복구본 검증 중"}});
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
            update(Value{{"detail", std::string("검증 프레임 추출 — ") + p.tag}});
            std::optional<std::string> img = asset ? verifier.thumbnail(*asset, p.t) : std::nullopt;
            if (img) thumbs.push_back(Value{{"tag", p.tag}, {"t", p.t}, {"img", *img}});
        }
        if (thumbs.size() < 3)
            throw JobError("verify", 2,
                           "프레임 검증 실패 — " + std::to_string(thumbs.size()) + "/3 지점만 디코딩됨");

        Value durations = Value::array();
        for (const std::string& line : log)
            if (line.find("Duration of") != std::string::npos) durations.push_back(line);

        update(Value{{"stage", "done"},
                     {"pct", 100},
                     {"detail", claim.besideEarlierResult() ? kDoneBeside + fileName(paths.recovered) + kEarlierKept
                                                            : std::string("복구 완료")},
                     {"info", info},
                     {"thumbs", thumbs},
                     {"durations", durations},
                     {"out_size", fileSize(paths.recovered)},
                     {"note", kNote}});
    } catch (const std::exception& e) {
        update(Value{{"stage", "error"}, {"error", e.what()}});
    } catch (...) {
        update(Value{{"stage", "error"}, {"error", "알 수 없는 오류"}});
    }
}
