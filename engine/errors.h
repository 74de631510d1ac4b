// Error type of the repair engine. Every failure that the user must see is an
// EngineError whose message is a plain-words reason (printed after "Error:").
#pragma once

#include <stdexcept>
#include <string>

namespace tv {

class EngineError : public std::runtime_error {
public:
    enum class Kind {
        Usage = 1,
        Reference = 2,
        Input = 3,
        Output = 4,
        Io = 5,
        Mismatch = 11,       // the reference's settings differ from the recording's
        WrongFamily = 12,    // MXF reference for an MP4-family RSV or the other way round
        NeedReference = 13,  // the recording alone cannot settle its parameters
        NoSpace = 14,        // the output volume is full
    };

    EngineError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}

    Kind kind() const noexcept { return kind_; }
    int exitCode() const noexcept { return static_cast<int>(kind_); }

private:
    Kind kind_;
};

}  // namespace tv
