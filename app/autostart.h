// The unattended-start hook: the script that makes the page start the
// recovery of one named RSV as soon as its first scan result is in.
#pragma once

#include <optional>
#include <string>

// The script text for the RSV file `name` (exactly as the environment holds
// it). The name enters the script as a JSON string literal, so quotes, line
// breaks or script fragments in it are matched literally and never run.
// The script polls every 2000 ms for the page's global SCAN, stops polling
// once it is there, and calls the page's start(i) with the index of the first
// entry of SCAN.rsvs whose name equals `name`, if there is one. It claims the
// global name __att for its timer. Pure; any thread.
std::string autostartScript(const std::string& name);

// The name from TORVELIN_AUTOTEST, or nothing when the variable is not set
// (an empty value counts as set).
std::optional<std::string> autostartName();
