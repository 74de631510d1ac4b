// The shell of the GTK window: the desktop's file and folder choosers, the
// clipboard, and what the window shows of the jobs (title, notifications).
// Main thread only; every GTK callback is a noexcept barrier.
#pragma once

#include <gtk/gtk.h>

#include "app/job_watch.h"
#include "app/shell.h"

class GtkShell : public Shell {
public:
    // The window the choosers belong to; set once it exists.
    void setWindow(GtkWindow* window) { window_ = window; }

    void pickFile(Bridge& bridge, int64_t call, const Value& args) override;
    void chooseFolder(Bridge& bridge, int64_t call, const Value& args) override;
    void copyText(Bridge& bridge, int64_t call, const Value& args) override;
    void jobAdmitted(const std::string& id, const std::string& rsvPath) override;

    // A Job state pushed to the page: the title follows it, and a job that
    // ends while the window is not active is told by a desktop notification.
    void jobState(const Value& state);

private:
    GtkWindow* window_ = nullptr;
    JobWatch watch_;
};
