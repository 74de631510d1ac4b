// The Korean sentences that lead every failure a job reports.
//
// The user must learn from the first words what happened and what to do;
// the system's or the engine's own text may follow in brackets for whoever
// needs the detail, but never stands alone. Pure functions; any thread.
#pragma once

#include <string>

// What an error the operating system reported (an errno value) means for a
// recovery: mostly the work volume (full, read-only, not ours to write), the
// card (gone, unreadable) or a link or folder where a file must go.
std::string systemFailureText(int errnum);
// The sentence above followed by the system's own text in brackets.
std::string systemFailureMessage(int errnum);

// What an exit status of the repair engine means (its contract's statuses);
// an unknown one gets a general sentence.
std::string engineFailureText(int status);
