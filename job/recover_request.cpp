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

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
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
    const std::string* donorArg = stringArg(args, "donor");
    const std::string donor = ref && ref->empty() && donorArg ? *donorArg : "";
    if (!rsv || !ref || !vol || !exists(*rsv) || (!ref->empty() && !exists(*ref)) ||
        (!donor.empty() && !exists(donor))) {
        bridge.reply(call, Value{{"error", kCheckPaths}});
        return;
    }

    const int64_t size = fileSize(*rsv);
    if (rsv->rfind(*vol + "/", 0) != 0 && !roomForRecovery(freeBytes(*vol), size)) {
        bridge.reply(call, Value{{"error", "작업 볼륨 여유공간 부족 — " + fixed(double(size) * 2 / 1e9, 0) +
                                               "GB 이상 필요"}});
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
