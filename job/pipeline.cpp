#include "job/pipeline.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cmath>
#include <future>
#include <system_error>

#include "bridge/utf8.h"
#include "engine/base/engine_contract.h"
#include "engine/base/unique_fd.h"
#include "job/copy.h"
#include "job/followed_copy.h"
#include "job/engine_run.h"
#include "job/failure_text.h"
#include "job/job_error.h"
#include "job/paths.h"
#include "job/rate.h"
#include "job/records.h"
#include "job/work_claim.h"
#include "job/work_folder.h"
#include "media/probe.h"
#include "scan/fs_queries.h"

namespace {

const char kInPlace[] = "작업 볼륨 안 파일 — 복사 생략";
const char kDone[] = "복구 완료";
// A recovery of a recording recovered before writes a new file beside the
// earlier result; the page says which one is new.
const char kDoneBeside[] = "복구 완료 — 새 파일 ";
const char kEarlierKept[] = " (이전 복구본은 그대로 있습니다)";
const char kPartly[] = " · 일부 손상 ";
const char kCancelled[] = "취소됨 — 작업 폴더의 파일은 그대로 있습니다";
const char kNote[] = "편집 프로그램에서 정상 확인 전까지 카드 포맷 금지 · 확인 후 작업 폴더의 RSV 사본은 지워도 됩니다";
// The engine's view of the work folder, and of the RSV's own folder or the fresh copy itself.
constexpr int kEngineFolderFd = 3;
constexpr int kEngineInputFd = 4;
// A copy the engine follows moves the bar up to where the engine's writing
// begins: the engine's walk keeps pace with it and never shows ahead. Its
// flush, after the last byte is written, takes the band's last points.
constexpr int kFollowedCopySpan = engine_contract::kSaveBandStart;
constexpr int kCopyFlushSpan = 4;
// A copy's pace when the job made none to measure: a card reader's.
constexpr double kAssumedCopyBytesPerSecond = 150e6;

// Verification takes, besides its pictures' budget, about a second to open
// the file, probe it and take the pictures for the eye (measured at 1 and 8 GB).
constexpr double kVerifyBeyondBudget = 1.0;

// Seconds one lane takes to decode the key pictures that a gigabyte of
// recording must have checked (one per kKeySpacingSeconds): their share of
// the bytes, and so their decoding, hardly changes with the bit rate
// (0.41 s at 14 Mb/s 720p, 0.70 s at 45 Mb/s 1080p, measured).
constexpr double kCheckSecondsPerGB = 0.7;

// What verification is expected to take: its budget, or the key pictures it
// checks whatever the budget, when a quick copy left it less time than they take.
double verifyGuess(double copySeconds, int64_t bytes) {
    const double floor = double(std::max<int64_t>(bytes, 0)) / 1e9 * kCheckSecondsPerGB / checkLanes();
    return std::max(verifyBudget(copySeconds), floor) + kVerifyBeyondBudget;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// "m:ss" for the page's sentence.
std::string clock(double s) {
    const int64_t t = static_cast<int64_t>(std::floor(std::max(s, 0.0)));
    const int64_t sec = t % 60;
    return std::to_string(t / 60) + ":" + (sec < 10 ? "0" : "") + std::to_string(sec);
}

// One recovery's place in the work folder: its folder, names and source.
struct Recovery {
    Recovery(const std::string& rsv, const std::string& volRoot)
        : rsvPath(rsv), inPlace(rsvPlace(rsv, volRoot) == RsvPlace::WorkCopy), folder(volRoot, rsv),
          source(learnSource()),
          claim(folder, workStem(fileNameOf(rsv), inPlace ? "" : card), extensionOf(fileNameOf(rsv)), inPlace, source) {}

    std::optional<SourceFacts> learnSource() {
        if (inPlace && fileNameOf(rsvPath).size() > 8 &&
            fileNameOf(rsvPath).compare(fileNameOf(rsvPath).size() - 8, 8, ".partial") == 0)
            throw JobError("copy", 4, failure::kIncompleteCopy);
        // A work copy's recording is the one its record names, card and all.
        if (inPlace) {
            const std::string record = folderOf(rsvPath) + "/" + recordName(fileNameOf(rsvPath));
            tv::UniqueFd fd(::open(record.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
            std::string text(64 * 1024, '\0');
            const ssize_t n = fd.get() >= 0 ? ::read(fd.get(), &text[0], text.size()) : -1;
            const std::optional<SourceFacts> recorded =
                n > 0 ? recordedSource(Value::parse(text.substr(0, size_t(n)), nullptr, false)) : std::nullopt;
            if (recorded) {
                card = recorded->card;
                return recorded;
            }
            return readSourceFacts(rsvPath, "");
        }
        card = cardNameOf(rsvPath);
        return readSourceFacts(rsvPath, card);
    }

    std::string rsvPath;
    bool inPlace;
    std::string card;
    WorkFolder folder;
    std::optional<SourceFacts> source;
    WorkClaim claim;
    std::atomic<double> copySeconds{-1};  // set by the copy's thread
};

// What the engine reads: a folder and a name in it, or (name empty) the file
// itself; and, for a fresh copy, that copy, which is written, flushed and
// named beside the engine and ends before the job goes on (or leaves).
struct EngineInput {
    tv::UniqueFd fd;
    std::string name;
    std::unique_ptr<FollowedCopy> copy;  // declared after fd: waited for before fd closes
};

// A fresh copy of the recording, made and sealed on a thread of its own. The
// bar follows its bytes written, then its bytes on the disk while it is
// flushed (as long again as the writing for a copy that fits in memory, a
// moment for one whose bytes went to the disk as they came).
std::unique_ptr<FollowedCopy> freshCopy(Job& job, Recovery& r, const CopyIo& io) {
    const double start = monotonicSeconds();
    const int64_t total = r.source ? r.source->size : fileSize(r.rsvPath);
    auto pace = std::make_shared<DiskPace>();
    auto copy = [&job, &r, total, start, io](const std::function<void(int, int64_t)>& onWritten) {
        tv::UniqueFd fd = copyWithProgress(job, r.rsvPath, total, r.folder, r.claim.names().copyPartial(),
                                           engine_contract::kCopyBandStart, kFollowedCopySpan - kCopyFlushSpan,
                                           CopyWatch{onWritten, io});
        r.copySeconds = monotonicSeconds() - start;
        return fd;
    };
    auto seal = [&job, &r, total, pace](int fd) {
        const WorkNames& n = r.claim.names();
        std::future<void> flushed = std::async(std::launch::async, [&] {
            sealCopy([](int f) { return ::fsync(f); }, fd, r.folder, n.copyPartial(), n.copy);
        });
        while (flushed.wait_for(std::chrono::milliseconds(500)) != std::future_status::ready)
            job.updateWhile("recover", Value{{"pct", kFollowedCopySpan - kCopyFlushSpan * (1 - pace->flushed(total, fd))}});
        flushed.get();
        if (r.source) r.folder.writeWhole(recordName(n.copy), copyRecord(*r.source).dump());
    };
    return std::make_unique<FollowedCopy>(job, total, kFollowedCopySpan, copy, seal);
}

// Brings the recording into the work folder (or finds it there). A fresh copy
// is written on a thread of its own, and the engine starts on it once a first
// stretch is written, following it to its end; it is flushed and named once
// complete, and nothing made from it is named before that has succeeded
// (finishSeal).
EngineInput bringInput(Job& job, Recovery& r, const CopyIo& io) {
    const WorkNames& names = r.claim.names();
    EngineInput in;
    if (r.inPlace) {
        job.update(Value{{"pct", engine_contract::kWalkBandStart}, {"detail", kInPlace}});
        in.fd = tv::UniqueFd(::open(folderOf(r.rsvPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        in.name = fileNameOf(r.rsvPath);
    } else if (r.claim.reusesCopy()) {
        in.fd = tv::UniqueFd(::dup(r.folder.fd()));
        in.name = names.copy;
    } else {
        in.copy = freshCopy(job, r, io);
        const int64_t bytes = r.source ? r.source->size : 0;
        in.copy->estimate(r.folder.fd(), names.engineWriting(),
                          [bytes](double copySeconds) { return verifyGuess(copySeconds, bytes); });
        in.fd = in.copy->awaitStart();
    }
    if (in.fd.get() < 0) throw JobError::system(errno);
    return in;
}

// Waits for the copy's flush and naming; its failure fails the job.
void finishSeal(EngineInput& in) {
    if (in.copy) in.copy->finish();
}

std::vector<std::string> repair(Job& job, const Recovery& r, const std::string& refPath, const EngineInput& in,
                                const std::function<void(const std::string&)>& onWritten) {
    job.throwIfCancelled();
    std::vector<std::pair<int, int>> inherit{{r.folder.fd(), kEngineFolderFd}, {in.fd.get(), kEngineInputFd}};
    FollowedCopy* const copy = in.copy.get();
    if (copy) inherit.emplace_back(copy->engineEnd(), engine_contract::kFollowFd);
    const auto bound = [copy](Value& changes) {
        if (copy) copy->bound(changes);
    };
    if (!copy || !copy->copying())
        job.update(Value{{"stage", "recover"},
                         {"pct", copy ? kFollowedCopySpan : engine_contract::kWalkBandStart},
                         {"detail", "복구 엔진 시작"},
                         {"rate_mb_s", nullptr}});
    const std::string through = "/proc/self/fd/";
    try {
        std::vector<std::string> log =
            runUntrunc(job, refPath, through + std::to_string(kEngineInputFd) + (in.name.empty() ? "" : "/" + in.name),
                       through + std::to_string(kEngineFolderFd) + "/" + r.claim.names().unverified(), inherit,
                       r.source ? r.source->size : -1, onWritten, bound);
        if (copy) copy->engineEnded();
        return log;
    } catch (...) {
        // What stopped the copy stopped the engine: the copy's reason is the one to tell.
        if (copy) {
            copy->engineEnded();
            copy->finish();
        }
        throw;
    }
}

struct Verdict {
    Value info, thumbs = Value::array();
    PictureCheck pictures;
    double duration = 0;
};

// Three pictures for the eye: near the start, the middle, the last second.
// Stops early (with fewer) once the job is being cancelled.
Value thumbnails(Job& job, const Verifier& verifier, const std::string& path, double duration) {
    Value thumbs = Value::array();
    const std::pair<const char*, double> points[] = {
        {"start", std::min(duration * 0.01, 10.0)}, {"mid", duration * 0.5}, {"end", std::max(duration - 1.0, 0.0)}};
    std::unique_ptr<MediaAsset> asset = verifier.open(path);
    for (const auto& [tag, t] : points) {
        if (job.cancelRequested()) break;
        job.update(Value{{"detail", std::string("검증 프레임 추출 — ") + tag}});
        std::optional<std::string> img = asset ? verifier.thumbnail(*asset, t) : std::nullopt;
        if (img) thumbs.push_back(Value{{"tag", tag}, {"t", t}, {"img", *img}});
    }
    return thumbs;
}

// Verifies the file at `path`; `abandoned` ends its picture check early.
Verdict verify(Job& job, const Recovery& r, const Verifier& verifier, const std::string& path,
               const std::function<bool()>& abandoned) {
    const double copied = r.copySeconds;
    const int64_t bytes = r.source ? r.source->size : 0;
    const double copySeconds = copied >= 0 ? copied : double(bytes) / kAssumedCopyBytesPerSecond;
    job.expectVerification(verifyGuess(copySeconds, bytes));
    job.update(Value{{"stage", "verify"},
                     {"pct", engine_contract::kVerifyStart},
                     {"detail", "복구본 검증 중"},
                     {"rate_mb_s", nullptr}});
    Verdict v;
    v.info = verifier.probe(path);
    const auto dur = v.info.find("dur");
    if (dur == v.info.end() || !dur->is_number_float() || !(dur->get<double>() > 0))
        throw JobError("verify", 1, failure::kNoDuration);
    v.duration = dur->get<double>();

    const double budget = verifyBudget(copySeconds);
    // The pictures for the eye are taken beside the check, through a reader
    // of their own, rather than after it.
    std::future<Value> thumbs = std::async(std::launch::async, [&] { return thumbnails(job, verifier, path, v.duration); });
    std::optional<PictureCheck> pictures =
        verifier.check(path, budget, [&] { return job.cancelRequested() || (abandoned && abandoned()); });
    v.thumbs = thumbs.get();
    job.throwIfCancelled();
    if (!pictures || pictures->clean == 0) throw JobError("verify", 3, failure::kNoCleanPicture);
    if (!pictures->sizeMatches) throw JobError("verify", 4, failure::kWrongPictureSize);
    v.pictures = *pictures;
    if (v.thumbs.size() < 3)
        throw JobError("verify", 2, failure::kFramesLead + std::to_string(v.thumbs.size()) + failure::kFramesTail);
    return v;
}

// The verification of the engine's output, begun while the engine flushes it
// to the disk (its "written" line). What it finds counts only for the very
// file the engine then names; otherwise, or when the engine fails, it is
// abandoned and waited for.
class EarlyCheck {
public:
    EarlyCheck(Job& job, const Recovery& r, const Verifier& verifier) : job_(job), r_(r), verifier_(verifier) {}
    ~EarlyCheck() { abandoned_ = true; }  // before verdict_ waits for the check
    EarlyCheck(const EarlyCheck&) = delete;
    EarlyCheck& operator=(const EarlyCheck&) = delete;

    // On the engine's output thread: opens `name` in the work folder (a
    // regular file, never through a link) and checks it on a thread of its own.
    void start(const std::string& name) {
        if (verdict_.valid() || name.empty() || name.find('/') != std::string::npos) return;
        tv::UniqueFd fd(::openat(r_.folder.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
        fd_ = std::move(fd);
        const std::string path = "/proc/self/fd/" + std::to_string(fd_.get());
        try {
            verdict_ = std::async(std::launch::async, [this, path] {
                return verify(job_, r_, verifier_, path, [this] { return abandoned_.load(); });
            });
        } catch (const std::system_error&) {
            // No thread to spare: the file is verified once the engine has ended.
        }
    }

    // After the engine has ended well: the early verdict when it is about
    // the file the engine named `unverified`, else a verification of that file.
    Verdict verdict() {
        const std::string name = r_.claim.names().unverified();
        if (verdict_.valid()) {
            struct stat checked {}, named {};
            if (::fstat(fd_.get(), &checked) == 0 && ::fstatat(r_.folder.fd(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                checked.st_dev == named.st_dev && checked.st_ino == named.st_ino)
                return verdict_.get();
            abandoned_ = true;
            verdict_.wait();
        }
        return verify(job_, r_, verifier_, r_.folder.reach(name), {});
    }

private:
    Job& job_;
    const Recovery& r_;
    const Verifier& verifier_;
    std::atomic<bool> abandoned_{false};
    tv::UniqueFd fd_;
    std::future<Verdict> verdict_;  // after fd_: waited for before fd_ closes
};

std::string doneDetail(const Recovery& r, const Verdict& v) {
    std::string detail = r.claim.besideEarlierResult() ? kDoneBeside + r.claim.names().result + kEarlierKept : kDone;
    if (v.pictures.errors == 0) return detail;
    std::string ranges;
    for (const auto& [from, to] : v.pictures.damaged) ranges += (ranges.empty() ? "" : ", ") + clock(from) + "–" + clock(to);
    return detail + kPartly + "(" + ranges + ")";
}

// Records, names and reports a verified result.
void publish(Job& job, const Recovery& r, const Verdict& v, const std::vector<std::string>& log) {
    const WorkNames& names = r.claim.names();
    const bool partial = v.pictures.errors > 0;
    const SourceFacts source = r.source.value_or(SourceFacts{r.rsvPath, fileSize(r.rsvPath), 0, "", r.card});
    r.folder.writeWhole(recordName(names.result),
                        resultRecord(source, names.copy, partial, v.pictures.frames, v.duration).dump());
    job.throwIfCancelled();
    r.folder.publish(names.unverified(), names.result);

    Value durations = Value::array(), ranges = Value::array();
    for (const std::string& line : log)
        if (line.find(engine_contract::kDurationOf) != std::string::npos) durations.push_back(line);
    for (const auto& [from, to] : v.pictures.damaged) ranges.push_back(Value{from, to});
    const PictureCheck& p = v.pictures;
    job.update(Value{{"stage", "done"}, {"pct", 100}, {"detail", doneDetail(r, v)}, {"info", v.info},
                     {"thumbs", v.thumbs}, {"durations", durations},
                     {"out_size", fileSize(r.folder.reach(names.result))}, {"note", kNote},
                     {"partial", partial}, {"damaged_ranges", ranges},
                     {"verify", Value{{"checked", p.checked}, {"errors", p.errors}, {"frames", p.frames},
                                      {"width", p.width}, {"height", p.height}}}});
}

// Ends the job on what stopped it: the Korean sentence and its kind for the
// page, the system's own words in the log.
void endOnFailure(Job& job, std::exception_ptr failure) {
    const Value cancelled{{"stage", "cancelled"}, {"detail", kCancelled}, {"error_kind", "cancelled"}};
    try {
        std::rethrow_exception(failure);
    } catch (const JobCancelled&) {
        job.update(cancelled);
    } catch (const std::exception& e) {
        // A step that failed because it was being stopped was cancelled.
        if (job.cancelRequested()) return job.update(cancelled);
        const auto* ours = dynamic_cast<const JobError*>(&e);
        const std::string detail = ours ? ours->detail() : e.what();
        Value changes{{"stage", "error"},
                      {"error", ours ? e.what() : failure::kUnexpected},
                      {"error_kind", ours ? ours->kind() : "other"}};
        if (!detail.empty()) {
            Value log = job.state().value("log", Value::array());
            log.push_back(detail);
            changes["log"] = std::move(log);
        }
        job.update(changes);
    } catch (...) {
        job.update(Value{{"stage", "error"}, {"error", failure::kUnknown}, {"error_kind", "other"}});
    }
}

}  // namespace

Verifier Verifier::media() {
    return Verifier{[](const std::string& path) { return ::probe(path); },
                    [](const std::string& path) { return MediaAsset::open(path); },
                    [](MediaAsset& asset, double at) { return thumbnailDataURL(asset, at); },
                    [](const std::string& path, double budget, const std::function<bool()>& stop) {
                        return checkPictures(path, budget, stop);
                    }};
}

void runJob(Job& job, const std::string& rsvPath, const std::string& refPath, const std::string& volRoot) {
    runJob(job, rsvPath, refPath, volRoot, Verifier::media());
}

void runJob(Job& job, const std::string& rsvPath, const std::string& refPath, const std::string& volRoot,
            const Verifier& verifier, const CopyIo& io) {
    try {
        job.throwIfCancelled();
        Recovery r(rsvPath, volRoot);
        job.update(Value{{"stage", "copy"},
                         {"work_dir", pathText(r.folder.path())},
                         {"out", pathText(r.folder.shown(r.claim.names().result))},
                         {"card_name", pathText(r.card)}});
        EngineInput input = bringInput(job, r, io);
        EarlyCheck early(job, r, verifier);
        const std::vector<std::string> log =
            repair(job, r, refPath, input, [&early](const std::string& name) { early.start(name); });
        finishSeal(input);
        publish(job, r, early.verdict(), log);
    } catch (...) {
        endOnFailure(job, std::current_exception());
    }
}
