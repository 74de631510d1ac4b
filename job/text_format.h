// Number text for the messages the page shows.
#pragma once

#include <cstdint>
#include <string>

// "%.1f"-style and "%.0f"-style text independent of the process locale
// (GTK sets LC_NUMERIC from the environment).
std::string fixed(double value, int decimals);

// A byte count as the page writes it, in decimal units: "812 GB" from 100 GB
// on, "73 GB" or "18.5 GB" from 1 GB on, "412 MB" below.
std::string sizeText(int64_t bytes);
