// The names one recovery gives its files in the work folder, and how a
// recording is told apart from another.
//
// A person must tell two cards' clips apart in a file manager, so the names
// carry the card's volume name: "CARD_C0002.RSV" (the copy) and
// "CARD_C0002_fixed.MP4" (the result); variant n > 1 adds "_n" to the stem
// ("CARD_C0002_2.RSV"). Names too long for the file system, with everything a
// job and the engine add to them, are shortened with a hash of the whole
// (so two shortened names stay apart). Pure functions; any thread.
#pragma once

#include <string>

struct WorkNames {
    std::string copy;    // the RSV's copy (for a work copy used in place: the RSV's own name)
    std::string result;  // the verified result's final name

    // The copy until it is complete and synced.
    std::string copyPartial() const { return copy + ".partial"; }
    // What the engine is told to write; the result's name comes only after
    // verification. The engine itself writes "<this>.partial[-N]" first.
    std::string unverified() const { return result + ".partial"; }
    // What the engine writes until its output is whole and flushed (a name
    // the claim keeps free, so never a "-N" variant).
    std::string engineWriting() const { return unverified() + ".partial"; }
};

// The stem every name of a job starts with: "<card>_<RSV name without its
// extension>", or without the card when it is unknown or the RSV is a work
// copy already carrying it.
std::string workStem(const std::string& rsvName, const std::string& card);

// Names for `stem` in variant `variant` (1, 2, ...) with result number
// `resultN` (1: "_fixed.MP4", n: "_fixed_n.MP4"); `ext` is the RSV's
// extension with its dot. Shortened to fit `nameMax` bytes with every suffix.
WorkNames workNames(const std::string& stem, const std::string& ext, int variant, int resultN, long nameMax = 255);

// The RSV's file name and its extension (with the dot; empty when none).
std::string fileNameOf(const std::string& path);
std::string extensionOf(const std::string& name);

// The card's volume name: the entry under the mount directory that holds
// `rsvPath`; empty when it lies elsewhere.
std::string cardNameOf(const std::string& rsvPath);

// "device:inode" of what the path leads to, or the path when it cannot be read.
std::string fileIdentity(const std::string& path);
bool sameFile(const std::string& a, const std::string& b);
