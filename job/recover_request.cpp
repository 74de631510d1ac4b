#include "job/recover_request.h"

#include <sys/stat.h>

#include <cstdio>
#include <limits>
#include <memory>
#include <random>

#include "bridge/queues.h"
#include "job/job.h"
#include "job/paths.h"
#include "job/pipeline.h"
#include "job/text_format.h"
#include "scan/fs_queries.h"

namespace {

const char kCheckPaths[] = "경로를 확인하세요";
const char kAlreadyRunning[] = "이미 복구 중인 파일입니다";
const char kNoVolume[] = "작업 볼륨을 고르세요 — 복구본을 저장할 볼륨이 정해지지 않았습니다";
const char kVolumeMissing[] = "작업 볼륨을 찾을 수 없습니다 — 작업 볼륨을 다시 고르세요";
const char kRsvNotFile[] = "RSV가 일반 파일이 아닙니다 — 카드에 있는 RSV 파일을 고르세요";
const char kDonorNotFile[] = "같은 카메라로 찍은 파일로 고른 것이 일반 파일이 아닙니다 — MP4, MOV 또는 MXF 파일을 고르세요";
const char kRefNotFile[] = "참조 파일이 일반 파일이 아닙니다 — 같은 카메라로 찍은 MP4, MOV 또는 MXF 파일을 고르세요";

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// What the path leads to (through links) is a regular file. A FIFO would hang
// the copy and the engine, a device would fill the work volume; stat never
// opens, so it cannot block.
bool regularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool folder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The first 8 characters of a random (version 4) UUID's text, lower-cased.
std::string newJobId() {
    std::random_device random;
    unsigned char bytes[16];
    for (size_t i = 0; i < sizeof bytes; i += 4) {
        const uint32_t r = random();
        for (size_t k = 0; k < 4; ++k) bytes[i + k] = static_cast<unsigned char>(r >> (8 * k));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return std::string(text, 8);
}

const std::string* stringArg(const Value& args, const char* key) {
    auto it = args.find(key);
    if (it == args.end() || !it->is_string()) return nullptr;
    return it->get_ptr<const std::string*>();
}

}  // namespace

void handleRecoverRequest(Bridge& bridge, int64_t call, const Value& args) {
    const std::string* rsv = stringArg(args, "rsv");
    const std::string* ref = stringArg(args, "ref");
    const std::string* vol = stringArg(args, "vol");
    // An empty "ref" asks for a recovery without a reference, optionally
    // lent the settings of a "donor" clip; a reference or donor that is
    // named must exist.
    const bool noRef = ref && ref->empty();
    const std::string* donorArg = stringArg(args, "donor");
    const std::string donor = noRef && donorArg ? *donorArg : "";
    if (!rsv || !ref || !exists(*rsv) || (!noRef && !exists(*ref)) || (!donor.empty() && !exists(donor))) {
        bridge.reply(call, Value{{"error", kCheckPaths}});
        return;
    }
    // Without a volume the work would go in place and skip the space test.
    const char* refusal = !vol || vol->empty()                    ? kNoVolume
                          : !folder(*vol)                         ? kVolumeMissing
                          : !regularFile(*rsv)                    ? kRsvNotFile
                          : !noRef && !regularFile(*ref)          ? kRefNotFile
                          : !donor.empty() && !regularFile(donor) ? kDonorNotFile
                                                                  : nullptr;
    if (refusal) {
        bridge.reply(call, Value{{"error", refusal}});
        return;
    }

    const int64_t size = fileSize(*rsv);
    if (!roomOnVolume(*rsv, size, *vol, freeBytes(*vol))) {
        // The whole need of the admission's rule, margin included, as the page
        // states it: twice the size alone read "0GB" for a small recording.
        bridge.reply(call, Value{{"error", "작업 볼륨 여유공간 부족 — " + sizeText(spaceNeeded(size)) + " 이상 필요"}});
        return;
    }

    // A second job on the same file would write the same copy and recovered
    // file at the same time.
    const std::string source = fileIdentity(*rsv);
    for (const auto& entry : bridge.jobs) {
        if (entry.second && entry.second->source == source && entry.second->running()) {
            bridge.reply(call, Value{{"error", kAlreadyRunning}});
            return;
        }
    }

    auto job = std::make_shared<Job>(newJobId(), bridge.shared_from_this());
    job->source = source;
    job->donor = donor;
    bridge.jobs[job->id] = job;
    bridge.reply(call, Value{{"id", job->id}});
    runInBackground([job, rsv = *rsv, ref = *ref, vol = *vol] { runJob(*job, rsv, ref, vol); });
}
