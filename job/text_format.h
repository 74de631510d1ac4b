// Number text for the messages the page shows.
#pragma once

#include <string>

// "%.1f"-style and "%.0f"-style text independent of the process locale
// (GTK sets LC_NUMERIC from the environment).
std::string fixed(double value, int decimals);
