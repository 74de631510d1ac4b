// The deep walk of one volume for RSV files.
#pragma once

#include <string>
#include <vector>

// Deepest level the walk examines; level 1 is an item directly in the root.
// Items at deeper levels are neither examined nor descended into.
constexpr int kMaxWalkLevel = 7;

// Paths ("<root>/<path inside>", as bytes) of every item under `root` whose
// extension, upper-cased, is "RSV", or that is an unfinished copy of one
// ("C0002.RSV.partial"), in walk order: depth first, each folder's entries in
// the order the file system lists them, a folder's contents right after it.
//
// Reads directory entries only: no file is opened and nothing is written.
// Names beginning with "." are neither examined nor entered; symbolic links
// are never followed into folders (`root` itself may be one); folders that
// cannot be read are passed over. Names that are not valid UTF-8 are walked
// like any other (the page gets them through pathText).
// Never fails: an unreadable root gives an empty list. Any thread; blocks.
std::vector<std::string> findRsvFiles(const std::string& root);
