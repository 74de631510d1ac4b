#include "scan/records.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/unique_fd.h"
#include "bridge/utf8.h"
#include "bridge/value.h"
#include "scan/dir_handle.h"
#include "scan/names.h"

namespace {

constexpr std::string_view kRecordSuffix = ".torvelin.json";
// Bounds on what one scan reads, whatever lies on a volume.
constexpr int kMaxWorkFolders = 1000;
constexpr int kMaxRecordsPerFolder = 4096;

DirHandle openFolderAt(int parent, const char* name, int flags) {
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
    if (fd < 0) return nullptr;
    DIR* d = ::fdopendir(fd);
    if (!d) ::close(fd);
    return DirHandle(d);
}

std::optional<Value> readRecord(int dirFd, const char* name) {
    tv::UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxRecordBytes)
        return std::nullopt;
    std::string text(size_t(st.st_size), '\0');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = ::read(fd.get(), text.data() + done, text.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += size_t(got);
    }
    text.resize(done);
    Value v = Value::parse(text, nullptr, /*allow_exceptions=*/false);
    if (v.is_discarded() || !v.is_object()) return std::nullopt;
    return v;
}

bool isKind(const Value& record, const char* kind) {
    auto it = record.find("kind");
    return it != record.end() && it->is_string() && *it == kind;
}

std::optional<SourceStamp> stampOf(const Value& record) {
    auto size = record.find("source_size"), mtime = record.find("source_mtime_ns"), card = record.find("card_name");
    if (size == record.end() || mtime == record.end() || card == record.end() || !size->is_number_integer() ||
        !mtime->is_number_integer() || !card->is_string())
        return std::nullopt;
    return SourceStamp{size->get<int64_t>(), mtime->get<int64_t>(), card->get<std::string>()};
}

bool isRecordName(std::string_view name) {
    return name.size() > kRecordSuffix.size() + 1 && name.front() == '.' &&
           name.substr(name.size() - kRecordSuffix.size()) == kRecordSuffix;
}

void readFolder(int folderFd, const std::string& folderPath, std::vector<ResultRecord>& out) {
    DirHandle dir = openFolderAt(folderFd, ".", 0);
    if (!dir) return;
    int seen = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name(entry->d_name, std::strlen(entry->d_name));
        if (!isRecordName(name) || ++seen > kMaxRecordsPerFolder) continue;
        const std::optional<Value> record = readRecord(folderFd, entry->d_name);
        if (!record || !isKind(*record, "result")) continue;
        const std::optional<SourceStamp> source = stampOf(*record);
        if (!source) continue;
        const std::string result(name.substr(1, name.size() - 1 - kRecordSuffix.size()));
        struct stat st {};
        if (!isValidUtf8(result) || ::fstatat(folderFd, result.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        auto partial = record->find("partial");
        out.push_back(ResultRecord{folderPath + "/" + result, result, int64_t(st.st_size),
                                   partial != record->end() && partial->is_boolean() && partial->get<bool>(),
                                   *source});
    }
}

}  // namespace

std::string recordNameFor(const std::string& fileName) { return "." + fileName + std::string(kRecordSuffix); }

std::vector<ResultRecord> findResults(const std::string& place) {
    std::vector<ResultRecord> out;
    DirHandle root = openFolderAt(AT_FDCWD, place.c_str(), 0);
    if (!root) return out;
    int folders = 0;
    while (const dirent* entry = ::readdir(root.get())) {
        const std::string_view name(entry->d_name, std::strlen(entry->d_name));
        if (name.substr(0, kWorkFolderPrefix.size()) != kWorkFolderPrefix || !isValidUtf8(name)) continue;
        if (++folders > kMaxWorkFolders) break;
        // A work folder is never entered through a link.
        tv::UniqueFd folder(::openat(dirfd(root.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
        if (folder.get() >= 0) readFolder(folder.get(), place + "/" + std::string(name), out);
    }
    return out;
}

std::optional<SourceStamp> copySource(const std::string& copyPath) {
    const size_t slash = copyPath.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    tv::UniqueFd folder(::open(copyPath.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) return std::nullopt;
    const std::optional<Value> record = readRecord(folder.get(), recordNameFor(copyPath.substr(slash + 1)).c_str());
    if (!record || !isKind(*record, "copy")) return std::nullopt;
    auto complete = record->find("complete");
    if (complete == record->end() || !complete->is_boolean() || !complete->get<bool>()) return std::nullopt;
    return stampOf(*record);
}

bool hasRecordBeside(int dirFd, const std::string& fileName) {
    struct stat st {};
    return ::fstatat(dirFd, recordNameFor(fileName).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}
