#include "job/recover_request.h"

#include <sys/stat.h>

#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <random>

#include "bridge/queues.h"
#include "bridge/utf8.h"
#include "job/failure_text.h"
#include "job/job.h"
#include "job/work_folder.h"
#include "job/paths.h"
#include "job/pipeline.h"
#include "job/text_format.h"
#include "scan/fs_queries.h"

namespace {

using namespace failure;

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

// A path argument, its bytes restored from the page's text (pathText).
std::optional<std::string> pathArg(const Value& args, const char* key) {
    auto it = args.find(key);
    if (it == args.end() || !it->is_string()) return std::nullopt;
    return pathBytes(it->get_ref<const std::string&>());
}

void refuse(Bridge& bridge, int64_t call, const std::string& sentence, const char* kind) {
    bridge.reply(call, Value{{"error", sentence}, {"error_kind", kind}});
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

void handleRecoverRequest(Bridge& bridge, int64_t call, const Value& args) {
    const std::optional<std::string> rsv = pathArg(args, "rsv");
    const std::optional<std::string> ref = pathArg(args, "ref");
    const std::optional<std::string> vol = pathArg(args, "vol");
    // An empty "ref" asks for a recovery without a reference, optionally
    // lent the settings of a "donor" clip; a reference or donor that is
    // named must exist.
    const bool noRef = ref && ref->empty();
    const std::optional<std::string> donorArg = pathArg(args, "donor");
    const std::string donor = noRef && donorArg ? *donorArg : "";
    if (!rsv || !ref || !exists(*rsv) || (!noRef && !exists(*ref)) || (!donor.empty() && !exists(donor))) {
        return refuse(bridge, call, kCheckPaths, "other");
    }
    // Without a volume the work would go in place and skip the space test.
    const char* refusal = !vol || vol->empty()                    ? kNoVolume
                          : !folder(*vol)                         ? kVolumeMissing
                          : !regularFile(*rsv)                    ? kRsvNotFile
                          : !noRef && !regularFile(*ref)          ? kRefNotFile
                          : !donor.empty() && !regularFile(donor) ? kDonorNotFile
                                                                  : nullptr;
    if (refusal) return refuse(bridge, call, refusal, refusal == kVolumeMissing || refusal == kNoVolume ? "other" : "not_regular_file");

    // The card is only ever read: a volume on the RSV's file system is
    // refused before anything is written, unless the RSV is our own copy
    // there. A copy that never completed is no recording to recover.
    const RsvPlace place = rsvPlace(*rsv, *vol);
    if (place == RsvPlace::Card) return refuse(bridge, call, kCardIsWorkVolume, "card_is_work_volume");
    if (place == RsvPlace::WorkCopy && endsWith(*rsv, ".partial")) return refuse(bridge, call, kIncompleteCopy, "copy_failed");

    const int64_t size = fileSize(*rsv);
    if (place != RsvPlace::WorkCopy && !roomOnVolume(*rsv, size, *vol, freeBytes(*vol))) {
        // The whole need of the admission's rule, margin included, as the page
        // states it: twice the size alone read "0GB" for a small recording.
        return refuse(bridge, call, kSpaceLead + sizeText(spaceNeeded(size)) + kSpaceTail, "no_space");
    }

    // A second job on the same file would write the same copy and recovered
    // file at the same time.
    const std::string source = fileIdentity(*rsv);
    for (const auto& entry : bridge.jobs) {
        if (entry.second && entry.second->source == source && entry.second->running()) {
            return refuse(bridge, call, kAlreadyRunning, "busy");
        }
    }

    auto job = std::make_shared<Job>(newJobId(), bridge.shared_from_this());
    job->source = source;
    job->donor = donor;
    bridge.jobs[job->id] = job;
    bridge.reply(call, Value{{"id", job->id}});
    runInBackground([job, rsv = *rsv, ref = *ref, vol = *vol] { runJob(*job, rsv, ref, vol); });
}
