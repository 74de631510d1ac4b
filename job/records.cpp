#include "job/records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "engine/base/unique_fd.h"

namespace {

constexpr int64_t kHashedEnd = 1 << 20;

// FNV-1a, 64 bits: enough to tell two recordings of one size apart, not meant
// to stand against forgery.
void fnv(uint64_t& h, const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
}

bool readAt(int fd, std::vector<unsigned char>& buf, int64_t offset) {
    size_t got = 0;
    while (got < buf.size()) {
        const ssize_t n = ::pread(fd, buf.data() + got, buf.size() - got, offset + int64_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += size_t(n);
    }
    return true;
}

std::string hex(uint64_t v) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

Value sourceFields(const SourceFacts& s) {
    return Value{{"source_path", s.path}, {"source_size", s.size}, {"source_mtime_ns", s.mtimeNs},
                 {"source_hash", s.hash}, {"card_name", s.card}};
}

}  // namespace

std::optional<SourceFacts> readSourceFacts(const std::string& path, const std::string& card) {
    tv::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    SourceFacts facts;
    facts.path = path;
    facts.size = st.st_size;
    facts.mtimeNs = int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    facts.card = card;
    uint64_t h = 0xcbf29ce484222325ULL;
    const int64_t head = std::min<int64_t>(facts.size, kHashedEnd);
    std::vector<unsigned char> buf(static_cast<size_t>(head));
    if (!readAt(fd.get(), buf, 0)) return std::nullopt;
    fnv(h, buf.data(), buf.size());
    if (!readAt(fd.get(), buf, facts.size - head)) return std::nullopt;
    fnv(h, buf.data(), buf.size());
    const uint64_t size = uint64_t(facts.size);
    fnv(h, reinterpret_cast<const unsigned char*>(&size), sizeof size);
    facts.hash = hex(h);
    return facts;
}

std::string recordName(const std::string& fileName) { return "." + fileName + ".torvelin.json"; }

Value copyRecord(const SourceFacts& source) {
    Value v = sourceFields(source);
    v["kind"] = "copy";
    v["complete"] = true;
    return v;
}

Value resultRecord(const SourceFacts& source, const std::string& copyName, bool partial, int64_t frames,
                   double durationS) {
    Value v = sourceFields(source);
    v["kind"] = "result";
    v["copy"] = copyName;
    v["partial"] = partial;
    v["frames"] = frames;
    v["duration_s"] = durationS;
    return v;
}

std::optional<SourceFacts> recordedSource(const Value& r) {
    if (!r.is_object()) return std::nullopt;
    auto text = [&](const char* k) { return r.contains(k) && r[k].is_string(); };
    auto number = [&](const char* k) { return r.contains(k) && r[k].is_number_integer(); };
    if (!text("source_path") || !number("source_size") || !number("source_mtime_ns") || !text("source_hash") ||
        !text("card_name"))
        return std::nullopt;
    return SourceFacts{r["source_path"], r["source_size"], r["source_mtime_ns"], r["source_hash"], r["card_name"]};
}

bool provesCopyOf(const std::string& recordText, const SourceFacts& source) {
    const Value r = Value::parse(recordText, nullptr, false);
    const std::optional<SourceFacts> s = recordedSource(r);
    return s && r.value("kind", "") == "copy" && r.value("complete", false) == true && s->size == source.size &&
           s->mtimeNs == source.mtimeNs && s->hash == source.hash && s->card == source.card;
}
