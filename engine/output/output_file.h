// The recovered file on its way to its final name.
//
// It is written under a temporary name in the output's folder and takes the
// output's name only after the run has succeeded, so a failed or killed run
// never leaves a partial file under that name, and a repaired file that is
// already there is never replaced. What a failed run wrote stays under the
// temporary name; nothing is deleted.
//
// Thread: one thread. Errors: EngineError (Output, or NoSpace for a full volume).
#pragma once

#include "base/unique_fd.h"
#include "output/output.h"

#include <string>

namespace tv {

class OutputFile {
public:
    // Refuses an output path that names anything already (a file, a folder, a
    // link, even a dangling one): the engine never replaces what is there.
    static void checkFree(const std::string& out);

    // Creates a new, empty file beside `out`: out + ".partial", or
    // ".partial-2", "-3", ... when earlier runs left such files. The file is
    // created exclusively and never through a link.
    explicit OutputFile(const std::string& out);

    int fd() const noexcept { return fd_.get(); }
    const std::string& tempPath() const noexcept { return tempPath_; }

    // Flushes the data to the disk (through io.fsync) and closes the file.
    void sync(const OutputIo& io);
    // Gives the synced file the output's name, refusing if something has
    // appeared there meanwhile, and flushes the folder so the name lasts.
    void publish();

private:
    std::string out_, outName_, tempName_, tempPath_;
    UniqueFd dir_, fd_;
};

}  // namespace tv
