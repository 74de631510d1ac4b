#include "app/page_policy.h"

#include <glib.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

struct GFreeDeleter {
    void operator()(void* p) const noexcept { g_free(p); }
};

std::optional<std::string> canonical(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

}  // namespace

bool isPageAddress(const std::string& uri, const std::string& webDir) {
    std::string address = uri.substr(0, uri.find('#'));
    address = address.substr(0, address.find('?'));
    if (g_ascii_strncasecmp(address.c_str(), "file:", 5) != 0) return false;

    char* hostRaw = nullptr;
    std::unique_ptr<char, GFreeDeleter> file(g_filename_from_uri(address.c_str(), &hostRaw, nullptr));
    std::unique_ptr<char, GFreeDeleter> host(hostRaw);
    if (!file) return false;
    if (host && g_ascii_strcasecmp(host.get(), "localhost") != 0) return false;

    const std::optional<std::string> folder = canonical(webDir);
    const std::optional<std::string> target = canonical(file.get());
    if (!folder || !target) return false;
    const std::string prefix = *folder == "/" ? *folder : *folder + "/";
    return target->size() > prefix.size() && target->compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> filePathsFromUris(const std::vector<std::string>& uris) {
    std::vector<std::string> paths;
    for (const std::string& uri : uris) {
        if (g_ascii_strncasecmp(uri.c_str(), "file:", 5) != 0) continue;
        char* hostRaw = nullptr;
        std::unique_ptr<char, GFreeDeleter> file(g_filename_from_uri(uri.c_str(), &hostRaw, nullptr));
        std::unique_ptr<char, GFreeDeleter> host(hostRaw);
        if (!file || (host && g_ascii_strcasecmp(host.get(), "localhost") != 0)) continue;
        if (g_utf8_validate(file.get(), -1, nullptr)) paths.emplace_back(file.get());
    }
    return paths;
}
