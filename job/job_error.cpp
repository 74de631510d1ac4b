#include "job/job_error.h"

#include "job/failure_text.h"

JobError JobError::system(int errnum) { return JobError("system", errnum, systemFailureMessage(errnum)); }
