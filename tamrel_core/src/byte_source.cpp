#include "tamrel/byte_source.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

namespace tamrel {

namespace {

constexpr std::size_t kRawChunk = 1 << 20;

std::string os_error(int err) { return std::strerror(err); }

}  // namespace

// One zlib stream state, reset at each gzip member.
struct ByteSource::Inflater {
    z_stream z{};
    bool in_member = false;  // inside a member whose end has not been seen

    Inflater() {
        // 16 + MAX_WBITS: gzip framing only; a raw zlib or deflate stream is corrupt.
        if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
    }
    ~Inflater() { inflateEnd(&z); }
};

ByteSource::ByteSource(const std::string& path) : path_(path) {
    do {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) throw InputFailure(path + ": cannot open: " + os_error(errno));
    try {
        read_raw(2);
    } catch (const StreamFailure& e) {
        ::close(fd_);
        throw InputFailure(path + ": cannot read: " + e.what());
    }
    compressed_ = raw_.size() >= 2 && static_cast<unsigned char>(raw_[0]) == 0x1f &&
                  static_cast<unsigned char>(raw_[1]) == 0x8b;
    if (compressed_) inflater_ = std::make_unique<Inflater>();
}

ByteSource::~ByteSource() {
    if (fd_ >= 0) ::close(fd_);
}

// Reads until at least `want` unconsumed raw bytes are buffered or the file ends.
bool ByteSource::read_raw(std::size_t want) {
    if (raw_pos_ > 0 && raw_pos_ == raw_.size()) {
        raw_.clear();
        raw_pos_ = 0;
    }
    while (!raw_eof_ && raw_.size() - raw_pos_ < want) {
        const std::size_t old = raw_.size();
        raw_.resize(old + kRawChunk);
        ssize_t got;
        do {
            got = ::read(fd_, raw_.data() + old, kRawChunk);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            const int err = errno;
            raw_.resize(old);
            throw StreamFailure(os_error(err));
        }
        raw_.resize(old + static_cast<std::size_t>(got));
        if (got == 0) raw_eof_ = true;
    }
    return raw_.size() > raw_pos_;
}

bool ByteSource::read(std::string& out, std::size_t limit) {
    if (!compressed_) {
        if (!read_raw(1)) return false;
        const std::size_t n = std::min(limit, raw_.size() - raw_pos_);
        out.append(raw_, raw_pos_, n);
        raw_pos_ += n;
        return true;
    }
    z_stream& z = inflater_->z;
    const std::size_t start = out.size();
    while (out.size() == start) {
        if (!read_raw(1)) {
            if (inflater_->in_member) {
                throw StreamFailure("compressed file ended before the end-of-stream marker was reached");
            }
            return false;
        }
        if (!inflater_->in_member) {
            // Between members: what follows must be another gzip member (a
            // run of zero bytes after the last one is tolerated, as by gzip).
            read_raw(2);
            const std::size_t left = raw_.size() - raw_pos_;
            const auto* p = reinterpret_cast<const unsigned char*>(raw_.data() + raw_pos_);
            if (p[0] == 0) {
                std::size_t zeros = 0;
                while (zeros < left && p[zeros] == 0) ++zeros;
                raw_pos_ += zeros;
                continue;
            }
            if (left < 2 || p[0] != 0x1f || p[1] != 0x8b) throw StreamFailure("not a gzipped file (bad magic number)");
            inflateReset(&z);
            inflater_->in_member = true;
        }
        const std::size_t old = out.size();
        out.resize(old + limit);
        z.next_in = reinterpret_cast<Bytef*>(raw_.data() + raw_pos_);
        z.avail_in = static_cast<uInt>(std::min<std::size_t>(raw_.size() - raw_pos_, 1u << 30));
        z.next_out = reinterpret_cast<Bytef*>(out.data() + old);
        z.avail_out = static_cast<uInt>(limit);
        const int rc = inflate(&z, Z_NO_FLUSH);
        out.resize(old + (limit - z.avail_out));
        raw_pos_ = static_cast<std::size_t>(reinterpret_cast<char*>(z.next_in) - raw_.data());
        if (rc == Z_STREAM_END) {
            inflater_->in_member = false;
        } else if (rc == Z_MEM_ERROR) {
            throw std::bad_alloc();
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            throw StreamFailure(std::string("invalid compressed data: ") + (z.msg ? z.msg : "unknown error"));
        }
    }
    return true;
}

}  // namespace tamrel
