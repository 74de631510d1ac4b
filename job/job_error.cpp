#include "job/job_error.h"

#include <cstring>

#include "job/failure_text.h"

JobError JobError::system(int errnum) {
    return JobError("system", errnum, systemFailureText(errnum), std::strerror(errnum));
}

std::string JobError::kind() const { return failureKind(domain_, code_); }
