#include "job/output_reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "bridge/utf8.h"
#include "engine/base/engine_contract.h"
#include "job/text_format.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Appends the valid text of `in` to `out`, each malformed byte replaced by
// U+FFFD so the rest of the piece is kept (the page receives only valid
// UTF-8). A character cut off at the end is returned for the next piece.
std::string decodeInto(const std::string& in, std::string& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const size_t n = in.size();
    size_t i = 0;
    while (i < n) {
        const size_t len = utf8SequenceLength(p[i]);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (i + len > n) {
            // Possibly the start of a character whose rest is still on its way.
            if (utf8WellFormedStart(p + i, n - i)) return in.substr(i);
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (!utf8WellFormedStart(p + i, len)) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        out.append(in, i, len);
        i += len;
    }
    return {};
}

// The last `chars` characters of valid UTF-8 text.
std::string lastChars(const std::string& text, size_t chars) {
    size_t count = 0;
    size_t i = text.size();
    while (i > 0 && count < chars) {
        --i;
        if (!isContinuation(static_cast<unsigned char>(text[i]))) ++count;
    }
    return text.substr(i);
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// What a person reads of a printed line: the progress figures that carriage
// returns wrote over are gone; a line that is itself a figure is nothing.
std::string readable(const std::string& line) {
    std::string text = line.substr(line.rfind('\r') == std::string::npos ? 0 : line.rfind('\r') + 1);
    if (text.find('%') != std::string::npos) return {};
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    return text;
}

// The job state's "donor_fields" / "matrices" from the engine's lines
// about a repair without a reference; null for any other line.
Value noReferenceFields(const std::string& line) {
    using namespace engine_contract;
    if (startsWith(line, kDonorFieldsLead)) {
        Value fields = Value::array();
        std::string rest = line.substr(sizeof kDonorFieldsLead - 1);
        for (size_t at = 0; at <= rest.size();) {
            size_t comma = rest.find(", ", at);
            if (comma == std::string::npos) comma = rest.size();
            if (comma > at) fields.push_back(rest.substr(at, comma - at));
            at = comma + 2;
        }
        return Value{{"donor_fields", fields}};
    }
    if (startsWith(line, kMatricesLead)) {
        const std::string rest = line.substr(sizeof kMatricesLead - 1);
        const std::string name = rest.substr(0, rest.find(' '));
        if (!name.empty()) return Value{{"matrices", name}};
    }
    return nullptr;
}

}  // namespace

Value lostRange(const std::string& line) {
    if (!startsWith(line, engine_contract::kLostLine)) return nullptr;
    const char* p = line.c_str() + sizeof engine_contract::kLostLine - 1;
    const char* end = line.c_str() + line.size();
    const char* space = std::find(p, end, ' ');
    const std::string track(p, space);
    if (track != "video" && track != "audio" && track != "metadata") return nullptr;
    // Figures read without the locale (a decimal comma must not break them).
    auto figure = [&](const char* lead, double& v) {
        const size_t n = std::strlen(lead);
        if (size_t(end - space) < n || std::memcmp(space, lead, n) != 0) return false;
        auto res = std::from_chars(space + n, end, v);
        space = res.ptr;
        return res.ec == std::errc();
    };
    double from = 0, to = 0;
    if (!figure(" from ", from) || !figure(" s to ", to) || to < from) return nullptr;
    return Value{{"track", track}, {"from_s", from}, {"to_s", to}};
}

bool lastPercentage(const std::string& text, double& value) {
    // The last match of (\d+(?:\.\d+)?)% ends at the last "%" with a digit
    // right before it; walk back from there over the figure.
    for (size_t pct = text.rfind('%'); pct != std::string::npos && pct > 0; pct = text.rfind('%', pct - 1)) {
        if (!isDigit(text[pct - 1])) continue;
        size_t begin = pct - 1;
        while (begin > 0 && isDigit(text[begin - 1])) --begin;
        if (begin >= 2 && text[begin - 1] == '.' && isDigit(text[begin - 2])) {
            begin -= 1;
            while (begin > 0 && isDigit(text[begin - 1])) --begin;
        }
        double v = 0;
        auto res = std::from_chars(text.data() + begin, text.data() + pct, v);
        value = res.ec == std::errc() ? v : 0.0;
        return true;
    }
    return false;
}

// A range that starts where the track's last one ended (a lost lead and the
// pictures left out after it, say) joins that one: the page shows one stretch.
void OutputReader::addLost(Value lost) {
    for (auto it = lost_.rbegin(); it != lost_.rend(); ++it) {
        if ((*it)["track"] != lost["track"]) continue;
        const double end = (*it)["to_s"].get<double>(), from = lost["from_s"].get<double>();
        if (from >= (*it)["from_s"].get<double>() && from <= end + 0.0005) {
            (*it)["to_s"] = std::max(end, lost["to_s"].get<double>());
            return;
        }
        break;
    }
    lost_.push_back(std::move(lost));
}

void OutputReader::feed(const char* data, size_t size) {
    std::lock_guard<std::mutex> hold(lock_);
    std::string text;
    pending_ = decodeInto(pending_ + std::string(data, size), text);
    if (text.empty()) return;

    buffer_ += text;
    if (!saving_ && buffer_.find(engine_contract::kSavingLine) != std::string::npos) saving_ = true;

    // A figure printed before "Info: saving" belongs to the reassembly, even when
    // both arrive in one chunk: read as a saving figure it would send the bar back.
    size_t from = 0;
    if (saving_) {
        const size_t at = buffer_.find(engine_contract::kSavingLine);
        if (at != std::string::npos) from = at;
    }
    // The last of the search's two lines in the buffer says whether it runs.
    const size_t began = buffer_.rfind(engine_contract::kSearchLine), ended = buffer_.rfind(engine_contract::kSearchDoneLine);
    if (began != std::string::npos && (ended == std::string::npos || ended < began)) searching_ = true;
    else if (ended != std::string::npos) searching_ = false;
    double value = 0;
    if (lastPercentage(buffer_.substr(from), value)) {
        const double pct = engine_contract::jobPercent(value, saving_);
        const std::string detail =
            (saving_ ? "MP4 저장 " : "GOP 재조립 ") + fixed(value, 0) + "%";
        Value changes{{"pct", pct}, {"detail", detail}};
        if (searching_) changes["searching"] = true;
        onProgress_(changes);
    }

    size_t start = 0;
    for (size_t nl = buffer_.find('\n'); nl != std::string::npos; nl = buffer_.find('\n', start)) {
        std::string line = buffer_.substr(start, nl - start);
        std::string text = readable(line);
        if (!text.empty()) {
            if (lines_.size() == kKeptLines) lines_.erase(lines_.begin());
            lines_.push_back(std::move(text));
        }
        if (Value lost = lostRange(line); !lost.is_null()) {
            addLost(std::move(lost));
            onProgress_(Value{{"lost", lost_}});
        }
        if (startsWith(line, engine_contract::kFootageSharedLine)) onProgress_(Value{{"footage_shared", true}});
        if (startsWith(line, engine_contract::kFootageWrittenLine)) onProgress_(Value{{"footage_shared", false}});
        if (onWritten_ && startsWith(line, engine_contract::kWrittenLine))
            onWritten_(line.substr(sizeof engine_contract::kWrittenLine - 1));
        if (startsWith(line, engine_contract::kInfoPrefix) && line.find('%') == std::string::npos) {
            if (Value fields = noReferenceFields(line); !fields.is_null()) onProgress_(fields);
            log_.push_back(std::move(line));
        }
        start = nl + 1;
    }
    buffer_ = lastChars(buffer_.substr(start), kKeptLineChars);
}

std::vector<std::string> OutputReader::takeLog() const {
    std::lock_guard<std::mutex> hold(lock_);
    return log_;
}

std::vector<std::string> OutputReader::takeLines() const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<std::string> lines = lines_;
    std::string last = readable(buffer_);
    if (!last.empty()) {
        if (lines.size() == kKeptLines) lines.erase(lines.begin());
        lines.push_back(std::move(last));
    }
    return lines;
}

bool OutputReader::saving() const {
    std::lock_guard<std::mutex> hold(lock_);
    return saving_;
}
