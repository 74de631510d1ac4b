// Which addresses the web view may show: only files of the page's own folder.
#pragma once

#include <string>
#include <vector>

// True when `uri` names an existing file inside the folder `webDir` (or one of
// its subfolders). The fragment and the query are ignored; the file path is
// made canonical first, so "..", percent-encoded dots and symbolic links that
// lead out of the folder are refused. Any other scheme (http, https, data,
// javascript, about, ...) and a file URL with a host other than localhost are
// refused. Pure apart from reading the file system; any thread.
bool isPageAddress(const std::string& uri, const std::string& webDir);

// The local paths among dropped `uris` (file URLs without a host, or with
// "localhost"), in order, leaving out any the page could not carry (not
// valid UTF-8). Pure; any thread.
std::vector<std::string> filePathsFromUris(const std::vector<std::string>& uris);
