// The error that ends a recovery job.
//
// Each step raises it with a short domain of its own ("copy", "untrunc",
// "verify", "paths", "card"), an integer code and the Korean sentence the
// user is shown (failure_text.h); a failure the system reports (a read, a
// write, a launch) travels with domain "system" and the errno value as code.
// The system's own English text is kept apart as `detail`, for the log
// behind "자세히", never in the sentence. what() is the sentence.
#pragma once

#include <stdexcept>
#include <string>

class JobError : public std::runtime_error {
public:
    JobError(std::string domain, int code, const std::string& message, std::string detail = {})
        : std::runtime_error(message), domain_(std::move(domain)), code_(code), detail_(std::move(detail)) {}

    // An error the operating system reported: its Korean sentence, with the
    // system's own text (strerror) as the detail.
    static JobError system(int errnum);

    const std::string& domain() const noexcept { return domain_; }
    int code() const noexcept { return code_; }
    const std::string& detail() const noexcept { return detail_; }
    // The page's word for it ("error_kind").
    std::string kind() const;

private:
    std::string domain_;
    int code_;
    std::string detail_;
};
