// What the page may ask of the desktop shell around it: file and folder
// choosers and the clipboard. The window implements it with GTK; the
// headless front end refuses each request with a Korean sentence.
//
// Every method runs on the main thread, returns at once and answers the
// request exactly once through bridge.reply (possibly later).
#pragma once

#include <cstdint>
#include <string>

#include "bridge/bridge.h"

class Shell {
public:
    virtual ~Shell() = default;
    // "pick": a reference or donor file; {"path"} or {} when cancelled.
    virtual void pickFile(Bridge& bridge, int64_t call, const Value& args) = 0;
    // "choose_folder": a work folder; the place entry or {} when cancelled.
    virtual void chooseFolder(Bridge& bridge, int64_t call, const Value& args) = 0;
    // "copy": args["text"] onto the clipboard; {} once it is there.
    virtual void copyText(Bridge& bridge, int64_t call, const Value& args) = 0;
    // A "recover" request made job `id` for the RSV at `rsvPath`.
    virtual void jobAdmitted(const std::string& id, const std::string& rsvPath) { (void)id, (void)rsvPath; }
};

// The shell without a window.
class HeadlessShell : public Shell {
public:
    void pickFile(Bridge& bridge, int64_t call, const Value& args) override;
    void chooseFolder(Bridge& bridge, int64_t call, const Value& args) override;
    void copyText(Bridge& bridge, int64_t call, const Value& args) override;
};
