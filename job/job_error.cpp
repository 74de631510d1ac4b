#include "job/job_error.h"

#include <cstring>

JobError JobError::system(int errnum) { return JobError("system", errnum, std::strerror(errnum)); }
