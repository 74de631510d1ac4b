// What the engine prints, turned into job progress and the engine log.
//
// The engine's output arrives in pieces of any size, split anywhere (also
// inside a multi-byte character). `feed` takes each piece; the reader keeps
// the unfinished last line (at most 500 characters of it), turns the last
// percentage figure it holds into {"pct", "detail"} for the job state, keeps
// the complete lines beginning with "Info:" that hold no "%" as the engine
// log, and turns each "Info: lost <track> from X s to Y s" line into an entry
// of the job state's "lost" list ({"track", "from_s", "to_s"}). Figures the
// engine prints during a parameter-set search carry "searching": true (the
// time the rest takes is unknown then).
//
// Threads: feed and takeLog may be called from different threads; one lock
// guards the buffer, the saving flag and the log, and `onProgress` is called
// while it is held, so a late piece can never interleave with the caller.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/value.h"

class OutputReader {
public:
    using Progress = std::function<void(const Value& changes)>;
    // `onWritten` gets the name of the output's temporary file once the
    // engine says every byte of it is written ("Info: written, flushing: ").
    using Written = std::function<void(const std::string& name)>;
    explicit OutputReader(Progress onProgress, Written onWritten = {})
        : onProgress_(std::move(onProgress)), onWritten_(std::move(onWritten)) {}

    void feed(const char* data, size_t size);
    void feed(const std::string& bytes) { feed(bytes.data(), bytes.size()); }

    // The engine log so far (the complete "Info:" lines without "%").
    std::vector<std::string> takeLog() const;
    // Every line the engine printed, progress figures left out (the text
    // after the last carriage return of a line, when it holds no "%"), the
    // unfinished last line included: what the page shows behind "자세히".
    // At most the last kKeptLines lines.
    std::vector<std::string> takeLines() const;
    bool saving() const;

private:
    Progress onProgress_;
    Written onWritten_;
    mutable std::mutex lock_;
    std::string pending_;  // bytes of a character not yet complete
    std::string buffer_;   // text not yet split into complete lines
    bool saving_ = false;
    bool searching_ = false;
    std::vector<std::string> log_;
    std::vector<std::string> lines_;
    void addLost(Value lost);

    Value lost_ = Value::array();
};

// {"track", "from_s", "to_s"} of an engine line "Info: lost <track> from X s
// to Y s"; null for any other line.
Value lostRange(const std::string& line);

// The last figure "<digits>[.<digits>]%" in `text`, if any.
bool lastPercentage(const std::string& text, double& value);

constexpr size_t kKeptLineChars = 500;
constexpr size_t kKeptLines = 400;
