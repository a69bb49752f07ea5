// Sequential reading of an input file, gzip-compressed or not (the gzip magic
// decides, not the name). Chunks are appended to a caller-owned buffer so a
// parser can keep the unfinished tail of its last record in front of them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "tamrel/error.hpp"

namespace tamrel {

// A read or decompression failure in the middle of a file. The message gives
// the reason only; the reader that catches it adds the file and the record.
class StreamFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ByteSource {
public:
    // Throws InputFailure "<path>: cannot open: <reason>".
    explicit ByteSource(const std::string& path);
    ~ByteSource();
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    // Appends up to `limit` (> 0) further bytes of content to `out`; false
    // once the content is exhausted. Throws StreamFailure.
    bool read(std::string& out, std::size_t limit);

    bool compressed() const { return compressed_; }
    const std::string& path() const { return path_; }

private:
    struct Inflater;
    bool read_raw(std::size_t limit);

    std::string path_;
    int fd_ = -1;
    bool compressed_ = false;
    bool raw_eof_ = false;
    std::string raw_;           // compressed input not yet consumed
    std::size_t raw_pos_ = 0;
    std::unique_ptr<Inflater> inflater_;
};

}  // namespace tamrel
