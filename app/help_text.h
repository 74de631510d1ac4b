// The texts of the Help menu: a short guide and the About facts.
#pragma once

#include <string>

// How a recovery goes, what the messages mean, when the card may be formatted.
const char* guideText();
// "TORVELIN RECOVERY <version>".
std::string versionText();
