#include "media/verify.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "media/media_file.h"

namespace {

// The decoders' complaints reach FFmpeg's one log callback, from any thread;
// each check registers its decoder here to count the errors said about it.
std::mutex g_countersLock;
std::map<const void*, std::atomic<int>*> g_counters;

void countErrors(void* avcl, int level, const char*, va_list) noexcept {
    if (level > AV_LOG_ERROR || !avcl) return;
    std::lock_guard<std::mutex> hold(g_countersLock);
    auto it = g_counters.find(avcl);
    if (it != g_counters.end()) ++*it->second;
}

class ErrorCount {
public:
    explicit ErrorCount(const AVCodecContext* ctx) : ctx_(ctx) {
        static std::once_flag once;
        std::call_once(once, [] { av_log_set_callback(countErrors); });
        std::lock_guard<std::mutex> hold(g_countersLock);
        g_counters[ctx_] = &count_;
    }
    ~ErrorCount() {
        std::lock_guard<std::mutex> hold(g_countersLock);
        g_counters.erase(ctx_);
    }
    ErrorCount(const ErrorCount&) = delete;
    ErrorCount& operator=(const ErrorCount&) = delete;
    int take() { return count_.exchange(0); }

private:
    const AVCodecContext* ctx_;
    std::atomic<int> count_{0};
};

struct Key {
    int64_t ts;    // the index's timestamp, in the stream's time base
    double at;     // seconds into the file
    int64_t pos;   // where the picture's bytes lie in the file
    int64_t size;
};

// Asks the kernel for key pictures' bytes ahead of their decoding: a cold
// check is otherwise one wait for the disk per picture, each far from the
// last, and all the waits can run at once instead.
class ReadAhead {
public:
    ReadAhead(const std::string& path, const std::vector<Key>& keys, const std::vector<size_t>& order)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), keys_(keys), order_(order) {}
    ~ReadAhead() {
        if (fd_ >= 0) ::close(fd_);
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    // Makes sure the pictures up to `upTo` in the order have been asked for.
    void through(size_t upTo) {
        for (; fd_ >= 0 && asked_ < std::min(upTo, order_.size()); ++asked_) {
            const Key& k = keys_[order_[asked_]];
            if (k.pos >= 0 && k.size > 0) (void)::posix_fadvise(fd_, k.pos, k.size, POSIX_FADV_WILLNEED);
        }
    }

private:
    int fd_;
    const std::vector<Key>& keys_;
    const std::vector<size_t>& order_;
    size_t asked_ = 0;
};

class Checker {
public:
    Checker(FormatContextPtr fmt, int stream, CodecContextPtr dec)
        : fmt_(std::move(fmt)), stream_(stream), dec_(std::move(dec)), count_(dec_.get()),
          packet_(av_packet_alloc()), frame_(av_frame_alloc()) {}
    bool ready() const { return packet_ && frame_; }
    const AVStream& stream() const { return *fmt_->streams[stream_]; }
    // Seconds of the video track (the file's, when the track does not say).
    double duration() const {
        const AVStream& st = stream();
        return st.duration > 0 ? double(st.duration) * av_q2d(st.time_base)
                               : fmt_->duration > 0 ? double(fmt_->duration) / AV_TIME_BASE : 0.0;
    }

    std::vector<Key> keys(int64_t& frames) const {
        AVStream* st = fmt_->streams[stream_];
        const double tb = av_q2d(st->time_base);
        const int64_t origin = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        std::vector<Key> out;
        const int n = avformat_index_get_entries_count(st);
        frames = n > 0 ? n : st->nb_frames;
        for (int i = 0; i < n; ++i) {
            const AVIndexEntry* e = avformat_index_get_entry(st, i);
            if (e && (e->flags & AVINDEX_KEYFRAME))
                out.push_back(Key{e->timestamp, double(e->timestamp - origin) * tb, e->pos, e->size});
        }
        return out;
    }

    // Decodes from the key picture at `ts`: that picture alone, or every
    // picture to the end of the file. Counts into `check`; true when all
    // came out clean.
    bool decodeFrom(int64_t ts, bool toEnd, PictureCheck& check) {
        avcodec_flush_buffers(dec_.get());
        count_.take();
        if (av_seek_frame(fmt_.get(), stream_, ts, AVSEEK_FLAG_BACKWARD) < 0) return noteDamage(check, 1);
        int errors = 0, pictures = 0;
        bool sent = false;
        while (av_read_frame(fmt_.get(), packet_.get()) >= 0) {
            if (packet_->stream_index != stream_) {
                av_packet_unref(packet_.get());
                continue;
            }
            if (avcodec_send_packet(dec_.get(), packet_.get()) < 0) ++errors;
            av_packet_unref(packet_.get());
            sent = true;
            pictures += receive(check, errors);
            if (!toEnd) break;
        }
        avcodec_send_packet(dec_.get(), nullptr);
        pictures += receive(check, errors);
        errors += count_.take();
        if (!sent || pictures == 0) errors = std::max(errors, 1);
        check.errors += errors;
        if (errors == 0) check.clean += pictures;
        return errors == 0;
    }

private:
    bool noteDamage(PictureCheck& check, int errors) {
        check.errors += errors;
        return false;
    }

    int receive(PictureCheck& check, int& errors) {
        int got = 0;
        while (avcodec_receive_frame(dec_.get(), frame_.get()) >= 0) {
            ++got;
            if (frame_->decode_error_flags || (frame_->flags & AV_FRAME_FLAG_CORRUPT)) ++errors;
            if (check.width > 0 && check.height > 0 && (frame_->width != check.width || frame_->height != check.height))
                check.sizeMatches = false;
            av_frame_unref(frame_.get());
        }
        return got;
    }

    FormatContextPtr fmt_;
    int stream_;
    CodecContextPtr dec_;
    ErrorCount count_;
    PacketPtr packet_;
    FramePtr frame_;
};

void addRange(std::vector<std::pair<double, double>>& ranges, double from, double to) {
    if (!ranges.empty() && from <= ranges.back().second + 1e-6) {
        ranges.back().second = std::max(ranges.back().second, to);
        return;
    }
    ranges.emplace_back(from, to);
}

// Pictures asked for ahead of the one being decoded, beyond the ones that
// are always checked.
constexpr size_t kReadAheadPictures = 16;

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::vector<size_t> keyOrder(size_t count, size_t mandatory) {
    std::vector<size_t> order;
    if (count == 0) return order;
    std::vector<bool> taken(count, false);
    auto take = [&](size_t i) {
        if (!taken[i]) taken[i] = true, order.push_back(i);
    };
    mandatory = std::clamp<size_t>(mandatory, 1, count);
    for (size_t k = 0; k < mandatory; ++k)
        take(mandatory == 1 ? 0 : static_cast<size_t>(std::llround(double(k) * double(count - 1) / double(mandatory - 1))));
    // Then halving steps: each pass fills the middles of the gaps left so far.
    for (size_t step = std::max<size_t>(count / 2, 1);; step = std::max<size_t>(step / 2, 1)) {
        for (size_t i = 0; i < count; i += step) take(i);
        if (step == 1) break;
    }
    return order;
}

namespace {

// Decoders working at once on one check: the key pictures are independent,
// so each lane takes the next one in the order with a decoder of its own.
constexpr unsigned kMostLanes = 4;

// One lane: the file opened again and a decoder of its own (single-threaded
// where several lanes share the processors). Absent when it cannot open.
std::unique_ptr<Checker> openChecker(const std::string& path, int threads) {
    FormatContextPtr fmt = openMediaFile(path);
    if (!fmt) return nullptr;
    const int stream = firstVideoStream(*fmt);
    if (stream < 0) return nullptr;
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        if (static_cast<int>(i) != stream) fmt->streams[i]->discard = AVDISCARD_ALL;
    // Single pictures: slices in parallel when this is the only lane, and
    // every complaint said about this one context.
    CodecContextPtr dec = openStreamDecoder(*fmt->streams[stream], FF_THREAD_SLICE, threads);
    if (!dec) return nullptr;
    // No picture is shown: the deblocking pass costs time and finds no error.
    dec->skip_loop_filter = AVDISCARD_ALL;
    auto checker = std::make_unique<Checker>(std::move(fmt), stream, std::move(dec));
    return checker->ready() ? std::move(checker) : nullptr;
}

void merge(PictureCheck& into, const PictureCheck& part) {
    into.checked += part.checked;
    into.clean += part.clean;
    into.errors += part.errors;
    into.sizeMatches = into.sizeMatches && part.sizeMatches;
}

}  // namespace

unsigned checkLanes() { return std::clamp(std::thread::hardware_concurrency(), 1u, kMostLanes); }

std::optional<PictureCheck> checkPictures(const std::string& path, double budgetSeconds,
                                          const std::function<bool()>& stop) {
    const unsigned lanes = checkLanes();
    std::unique_ptr<Checker> first = openChecker(path, lanes > 1 ? 1 : 0);
    if (!first) return std::nullopt;
    PictureCheck check;
    const std::vector<Key> keys = first->keys(check.frames);
    if (keys.empty()) return std::nullopt;
    const AVStream& st = first->stream();
    check.width = st.codecpar->width;
    check.height = st.codecpar->height;
    const double duration = first->duration();

    auto until = [&](size_t i) { return i + 1 < keys.size() ? keys[i + 1].at : std::max(duration, keys[i].at); };
    std::vector<char> bad(keys.size(), 0);  // one byte each: lanes write apart
    const size_t last = keys.size() - 1;
    const size_t mandatory = static_cast<size_t>(std::ceil(duration / kKeySpacingSeconds)) + 1;
    const double deadline = seconds() + budgetSeconds;
    const std::vector<size_t> order = keyOrder(keys.size(), mandatory);
    ReadAhead ahead(path, keys, order);
    ahead.through(mandatory);
    std::mutex aheadLock;
    std::atomic<size_t> next{0};
    std::atomic<bool> stopped{false}, lastTaken{false};
    auto lane = [&](Checker& checker, PictureCheck& part) {
        // The last group, every picture of it, is the longest piece of work:
        // the first lane to start takes it, so that it does not end the
        // check alone on one processor.
        if (!lastTaken.exchange(true)) {
            if (stop && stop()) return void(stopped = true);
            ++part.checked;
            bad[last] = !checker.decodeFrom(keys[last].ts, true, part);
        }
        for (;;) {
            if (stop && stop()) return void(stopped = true);
            const size_t done = next++;
            if (done >= order.size() || (done >= mandatory && seconds() > deadline)) return;
            {
                std::lock_guard<std::mutex> hold(aheadLock);
                ahead.through(std::max(mandatory, done + kReadAheadPictures));
            }
            const size_t i = order[done];
            if (i == last) continue;  // decoded with its whole group above
            ++part.checked;
            bad[i] = !checker.decodeFrom(keys[i].ts, false, part);
        }
    };
    // Each lane compares its pictures with the declared size.
    PictureCheck sized;
    sized.width = check.width;
    sized.height = check.height;
    std::vector<PictureCheck> parts(lanes, sized);
    std::vector<std::future<void>> others;
    try {
        for (unsigned n = 1; n < lanes && keys.size() > 1; ++n)
            others.push_back(std::async(std::launch::async, [&, n] {
                if (std::unique_ptr<Checker> own = openChecker(path, 1)) lane(*own, parts[n]);
            }));
    } catch (const std::system_error&) {
        // No thread to spare: the lanes there are take every picture.
    }
    lane(*first, parts[0]);
    for (auto& f : others) f.get();
    if (stopped || (stop && stop())) return std::nullopt;
    for (const PictureCheck& part : parts) merge(check, part);
    for (size_t i = 0; i < keys.size(); ++i)
        if (bad[i]) addRange(check.damaged, keys[i].at, until(i));
    return check;
}
