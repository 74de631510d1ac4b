// The error that ends a recovery job.
//
// Each step raises it with a short domain of its own ("copy", "untrunc",
// "verify"), an integer code and the text the user is shown; a failure the
// system reports (a read, a write, a launch) travels with domain "system",
// the errno value as code and the system's own text. what() is the message.
#pragma once

#include <stdexcept>
#include <string>

class JobError : public std::runtime_error {
public:
    JobError(std::string domain, int code, const std::string& message)
        : std::runtime_error(message), domain_(std::move(domain)), code_(code) {}

    // An error the operating system reported, with its own text (strerror).
    static JobError system(int errnum);

    const std::string& domain() const noexcept { return domain_; }
    int code() const noexcept { return code_; }

private:
    std::string domain_;
    int code_;
};
