// Error type of the repair engine. Every failure that the user must see is an
// EngineError whose message is a plain-words reason (printed after "Error:").
#pragma once

#include <stdexcept>
#include <string>

namespace tv {

class EngineError : public std::runtime_error {
public:
    // Exit codes; NeedsReference: the recording alone cannot settle what
    // the decoder needs (a reference clip from the same camera is needed).
    enum class Kind { Usage = 1, Reference = 2, Input = 3, Output = 4, Io = 5, NeedsReference = 13 };

    EngineError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}

    Kind kind() const noexcept { return kind_; }
    int exitCode() const noexcept { return static_cast<int>(kind_); }

private:
    Kind kind_;
};

}  // namespace tv
