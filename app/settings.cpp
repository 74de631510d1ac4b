#include "app/settings.h"

#include <fcntl.h>
#include <glib.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "base/unique_fd.h"
#include "bridge/json_text.h"
#include "bridge/utf8.h"
#include "bridge/value.h"

namespace {

const char kFile[] = "settings.json";
constexpr off_t kMaxSettingsBytes = 16 * 1024;

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// The folder, made when missing (the config folder above it too), opened
// without following a link.
tv::UniqueFd openFolder(const std::string& folder, bool create) {
    if (create) {
        const std::string parent = folder.substr(0, folder.rfind('/'));
        if (!parent.empty()) ::mkdir(parent.c_str(), 0700);
        ::mkdir(folder.c_str(), 0700);
    }
    return tv::UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

}  // namespace

std::string settingsFolder() { return std::string(g_get_user_config_dir()) + "/torvelin-recovery"; }

std::optional<std::string> loadWorkFolder(const std::string& folder) {
    const tv::UniqueFd dir = openFolder(folder, false);
    if (dir.get() < 0) return std::nullopt;
    tv::UniqueFd fd(::openat(dir.get(), kFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxSettingsBytes)
        return std::nullopt;
    std::string text(size_t(st.st_size), '\0');
    if (::read(fd.get(), text.data(), text.size()) != ssize_t(text.size())) return std::nullopt;
    const Value v = Value::parse(text, nullptr, false);
    if (!v.is_object()) return std::nullopt;
    auto it = v.find("work_folder");
    if (it == v.end() || !it->is_string() || it->get<std::string>().empty()) return std::nullopt;
    return it->get<std::string>();
}

bool saveWorkFolder(const std::string& folder, const std::string& workFolder) {
    if (!isValidUtf8(workFolder)) return false;
    const tv::UniqueFd dir = openFolder(folder, true);
    if (dir.get() < 0) return false;
    const std::string temp = ".settings.json." + std::to_string(std::random_device{}()) + ".tmp";
    tv::UniqueFd fd(::openat(dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) return false;
    const bool written = writeAll(fd.get(), jsonString(Value{{"work_folder", workFolder}}) + "\n") &&
                         ::fsync(fd.get()) == 0 && fd.get() >= 0;
    fd = tv::UniqueFd();
    if (!written || ::renameat(dir.get(), temp.c_str(), dir.get(), kFile) != 0) {
        ::unlinkat(dir.get(), temp.c_str(), 0);  // our own temporary, never the settings
        return false;
    }
    ::fsync(dir.get());
    return true;
}
