// The one currency between the subsystems and the page: a JSON value.
// Requests, answers, the scan and probe results and the job state are all Values.
#pragma once

#include <nlohmann/json.hpp>

using Value = nlohmann::json;
