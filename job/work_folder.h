// The dated work folder on the work volume, opened once and never through a
// link; every file a job makes is created, renamed and looked at relative to
// that open folder, so no folder swapped for a link on the way (the volume's
// root, the day folder) can lead a write anywhere else, such as onto a card.
//
// Also the rule that keeps the card out of reach: no folder on the file
// system holding the RSV is a work volume, unless the RSV is itself a copy in
// one of our work folders on it.
//
// Thread: any; one object per job. Errors: JobError with a Korean sentence.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "engine/base/unique_fd.h"

// "RSV복구_": what every work folder's name begins with.
extern const char kWorkFolderLead[];

// Where the RSV lies as seen from a work volume.
enum class RsvPlace {
    Elsewhere,  // on another file system: it is copied
    WorkCopy,   // a copy in one of our work folders on this volume: used in place
    Card,       // anywhere else on this volume's file system: refused
    Unknown,    // the RSV or the volume cannot be looked at
};
RsvPlace rsvPlace(const std::string& rsvPath, const std::string& volRoot);

class WorkFolder {
public:
    // Opens the volume root (a link the user chose as the volume is followed
    // once, here), refuses it when it shares the RSV's file system and the
    // RSV is no work copy (domain "card"), makes "RSV복구_yyMMdd" in it and
    // opens that without following a link.
    WorkFolder(const std::string& volRoot, const std::string& rsvPath);

    int fd() const { return dir_.get(); }
    // The folder's path as the user reads it; nothing is opened through it.
    const std::string& path() const { return path_; }
    std::string shown(const std::string& name) const { return path_ + "/" + name; }
    // The file through this process's open folder, out of reach of renames
    // and links on the way (for readers inside this process).
    std::string reach(const std::string& name) const;

    // Every name in the folder, hidden ones included.
    std::set<std::string> names() const;
    std::optional<struct stat> look(const std::string& name) const;  // never through a link
    // The longest name the folder's file system takes.
    long nameMax() const;

    // Gives a finished, synced file its final name; refuses when the name is
    // taken, and flushes the folder so the name lasts.
    void publish(const std::string& from, const std::string& to) const;
    // Writes a small file whole (temporary name, synced, renamed).
    void writeWhole(const std::string& name, const std::string& text) const;
    std::optional<std::string> readSmall(const std::string& name) const;

private:
    std::string path_;
    tv::UniqueFd dir_;
};
