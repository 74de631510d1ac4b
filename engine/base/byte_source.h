// Random-access, read-only byte sources: a file (positioned reads, never the
// whole file in memory) and a memory view (for tests and fuzzing). Parsers and
// the group walker read only through this interface.
//
// Thread: a source may be read from one thread at a time. Errors: read()
// throws EngineError(Io) when the operating system reports a read failure; a
// short count means the end of the source.
#pragma once

#include "base/copy_frontier.h"
#include "base/unique_fd.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tv {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual int64_t size() const = 0;
    // Reads up to n bytes at offset into dst; returns how many were read.
    virtual size_t read(int64_t offset, void* dst, size_t n) const = 0;

    bool readExact(int64_t offset, void* dst, size_t n) const {
        return offset >= 0 && read(offset, dst, n) == n;
    }
    // Reads [offset, offset + n) clipped to the end of the source.
    std::vector<uint8_t> readVector(int64_t offset, size_t n) const;
};

// A view of bytes owned by the caller, who keeps them alive.
class MemorySource final : public ByteSource {
public:
    MemorySource(const void* data, size_t size)
        : data_(static_cast<const uint8_t*>(data)), size_(size) {}
    explicit MemorySource(const std::vector<uint8_t>& bytes)
        : MemorySource(bytes.data(), bytes.size()) {}
    int64_t size() const override { return static_cast<int64_t>(size_); }
    size_t read(int64_t offset, void* dst, size_t n) const override;

private:
    const uint8_t* data_;
    size_t size_;
};

// Small reads (headers) are served from the last few aligned blocks of 1 MiB
// read, since the walk reads many headers close together and comes back to
// them; larger reads go straight to pread. Not thread-safe (the cache is
// shared state).
//
// A file still being copied (`frontier` given) has the length its copy will
// have; a read waits until the copy has written the bytes asked for, and
// throws EngineError(Input) when the copy fails first. Once the copy is
// complete it is the plain file.
class FileSource final : public ByteSource {
public:
    // Opens path read-only; throws EngineError(kind) with a plain reason.
    static std::unique_ptr<FileSource> open(const std::string& path, int errorKind,
                                            std::shared_ptr<CopyFrontier> frontier = nullptr);
    int64_t size() const override { return size_; }
    size_t read(int64_t offset, void* dst, size_t n) const override;
    int fd() const noexcept { return fd_.get(); }
    const std::string& path() const noexcept { return path_; }
    // The copy this file follows; null for a complete file.
    CopyFrontier* frontier() const noexcept { return frontier_.get(); }
    // Waits until the whole file is written (at once for a complete file).
    void awaitComplete() const {
        if (frontier_) frontier_->waitComplete();
    }

    FileSource(UniqueFd fd, int64_t size, std::string path)
        : fd_(std::move(fd)), size_(size), path_(std::move(path)) {}

private:
    struct Block {
        int64_t start = -1;  // -1: holds nothing
        uint64_t used = 0;
        std::vector<uint8_t> bytes;
    };
    size_t readDirect(int64_t offset, void* dst, size_t n) const;
    const Block& block(int64_t start, int64_t need, int64_t written) const;
    UniqueFd fd_;
    int64_t size_;
    std::string path_;
    mutable std::array<Block, 4> blocks_;
    mutable uint64_t uses_ = 0;
    std::shared_ptr<CopyFrontier> frontier_;
};

}  // namespace tv
