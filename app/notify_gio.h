// A desktop notification through the freedesktop Notifications service on
// the session bus. Fire and forget: a desktop without the service shows
// nothing and nothing is reported. Main thread.
#pragma once

#include <string>

void notifyDesktop(const std::string& summary, const std::string& body);
