#include "tamrel/index_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tamrel/error.hpp"

namespace tamrel {
namespace {

// Changes whenever the layout below or the records it copies change.
constexpr char kMagic[8] = {'T', 'M', 'R', 'L', 'I', 'D', 'X', '6'};
constexpr std::uint32_t kByteOrder = 0x01020304;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr std::size_t kBuffer = 1 << 20;

// A checksum over every byte, taken in four independent lanes of 8-byte words
// so that it runs at memory speed beside the copy or the page faults; it
// catches a damaged file, not a forged one. Each step is a bijection of its
// lane's state, so any one damaged word changes the value.
class Checksum {
public:
    void add(const unsigned char* p, std::size_t size) {
        total_ += size;
        if (pending_ != 0) {  // finish a started block
            const std::size_t n = std::min(size, kBlock - pending_);
            std::memcpy(block_ + pending_, p, n);
            pending_ += n;
            p += n;
            size -= n;
            if (pending_ < kBlock) return;
            mix(block_);
            pending_ = 0;
        }
        for (; size >= kBlock; p += kBlock, size -= kBlock) mix(p);
        std::memcpy(block_, p, size);
        pending_ = size;
    }
    std::uint64_t value() const {
        Checksum last = *this;
        std::memset(last.block_ + pending_, 0, kBlock - pending_);
        last.mix(last.block_);
        std::uint64_t h = total_;
        for (const std::uint64_t lane : last.lanes_) h = step(h ^ lane);
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        return h ^ (h >> 33);
    }

private:
    static constexpr std::size_t kLanes = 4, kBlock = 8 * kLanes;
    static std::uint64_t step(std::uint64_t s) {
        s *= 0x9e3779b97f4a7c15ULL;
        return s ^ (s >> 29);
    }
    void mix(const unsigned char* p) {
        for (std::size_t i = 0; i < kLanes; ++i) {
            std::uint64_t word;
            std::memcpy(&word, p + 8 * i, 8);
            lanes_[i] = step(lanes_[i] ^ word);
        }
    }
    std::uint64_t lanes_[kLanes] = {0x243f6a8885a308d3ULL, 0x13198a2e03707344ULL, 0xa4093822299f31d0ULL,
                                    0x082efa98ec4e6c89ULL};
    std::uint64_t total_ = 0;
    unsigned char block_[kBlock] = {};
    std::size_t pending_ = 0;
};

class Writer {
public:
    explicit Writer(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {
        if (!file_) fail();
        buffer_.reserve(kBuffer);
    }
    void bytes(const void* data, std::size_t size) {
        if (size == 0) return;  // an empty array's data() may be null
        const auto* p = static_cast<const unsigned char*>(data);
        sum_.add(p, size);
        written_ += size;
        if (buffer_.size() + size > kBuffer) flush();
        if (size >= kBuffer) {
            put(p, size);
        } else {
            buffer_.insert(buffer_.end(), p, p + size);
        }
    }
    template <class T>
    void value(const T& v) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes(&v, sizeof v);
    }
    template <class T>
    void array(const T* data, std::size_t size) {
        value<std::uint64_t>(size);
        bytes(data, size * sizeof(T));
    }
    template <class T>
    void array(const std::vector<T>& v) {
        array(v.data(), v.size());
    }
    // Zero bytes up to a multiple of `alignment`, so that a reader can use
    // the array that follows where it lies in the mapped file.
    void align(std::size_t alignment) {
        const unsigned char zero = 0;
        while (written_ % alignment != 0) bytes(&zero, 1);
    }
    void text(const std::string& s) {
        value<std::uint64_t>(s.size());
        bytes(s.data(), s.size());
    }
    void finish() {
        const std::uint64_t sum = sum_.value();
        bytes(&sum, sizeof sum);
        flush();
        if (std::fclose(file_.release()) != 0) fail();
    }

private:
    void put(const unsigned char* p, std::size_t size) {
        if (std::fwrite(p, 1, size, file_.get()) != size) fail();
    }
    void flush() {
        put(buffer_.data(), buffer_.size());
        buffer_.clear();
    }
    [[noreturn]] void fail() const {
        throw InputFailure(path_ + ": cannot write the index: " + std::strerror(errno));
    }
    std::string path_;
    File file_;
    std::vector<unsigned char> buffer_;
    std::uint64_t written_ = 0;
    Checksum sum_;
};

// A file mapped read-only. Index files are replaced by renaming, never
// rewritten in place, so a mapping stays valid for as long as it is held.
class Mapping {
public:
    // `populate`: map every page at once (the whole file is about to be read); otherwise pages are mapped
    // as they are first read.
    Mapping(const std::string& path, bool populate) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw InputFailure(path + ": cannot open: " + std::strerror(errno));
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            const int error = errno;
            ::close(fd);
            throw InputFailure(path + ": cannot open: " + std::strerror(error));
        }
        if (static_cast<std::uintmax_t>(st.st_size) > SIZE_MAX) {  // beyond a 32-bit address space
            ::close(fd);
            throw InputFailure(path + ": index file too large for this machine");
        }
        size_ = static_cast<std::size_t>(st.st_size);
        if (size_ > 0) {
            int flags = MAP_SHARED;
#ifdef MAP_POPULATE
            if (populate) flags |= MAP_POPULATE;  // one read-ahead instead of a fault per page
#endif
            void* p = ::mmap(nullptr, size_, PROT_READ, flags, fd, 0);
            if (p == MAP_FAILED) {
                const int error = errno;
                ::close(fd);
                throw InputFailure(path + ": cannot read the index file: " + std::strerror(error));
            }
            data_ = static_cast<const unsigned char*>(p);
        }
        ::close(fd);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        if (data_) ::munmap(const_cast<unsigned char*>(data_), size_);
    }
    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Gives the pages before `end` back: their content has been copied out.
    void release_before(std::size_t end) const {
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        if (data_ && end >= page) ::madvise(const_cast<unsigned char*>(data_), end / page * page, MADV_DONTNEED);
    }

private:
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

class Reader {
public:
    // Without `verify`, the checksum and the pass over the fragments that checks it are left out (see
    // `load_index`).
    Reader(const std::string& path, bool verify)
        : path_(path), map_(std::make_shared<const Mapping>(path, verify)), verify_(verify) {}
    void bytes(void* data, std::size_t size) {
        if (size == 0) return;  // an empty array's data() may be null
        std::memcpy(data, take(size), size);
    }
    template <class T>
    T value() {
        static_assert(std::is_trivially_copyable_v<T>);
        T v;
        bytes(&v, sizeof v);
        return v;
    }
    // A count of items of `width` bytes each, refused when the rest of the file cannot hold them.
    std::size_t count(std::size_t width) {
        const auto n = value<std::uint64_t>();
        if (n > unread() / std::max<std::size_t>(width, 1)) fail("truncated index file");
        return static_cast<std::size_t>(n);
    }
    template <class T>
    std::vector<T> array() {
        std::vector<T> v(count(sizeof(T)));
        bytes(v.data(), v.size() * sizeof(T));
        return v;
    }
    // An array used where it lies in the file, after the writer's padding.
    // `check` sees it a block at a time, right after the checksum has read
    // that block, so that checking costs no second pass over memory.
    template <class T, class Check>
    FragmentRecords mapped_array(Check&& check) {
        const std::size_t n = count(sizeof(T));
        while (at_ % alignof(T) != 0) {
            if (value<std::uint8_t>() != 0) fail("damaged index file (padding)");
        }
        if (n > unread() / sizeof(T)) fail("truncated index file");
        const auto* first = reinterpret_cast<const T*>(map_->data() + at_);
        if (!verify_) {
            at_ += n * sizeof(T);
            return FragmentRecords(std::span<const T>(first, n), map_);
        }
        constexpr std::size_t kStep = (std::size_t{1} << 17) / sizeof(T);  // within the L2 cache
        for (std::size_t i = 0; i < n; i += kStep) {
            const std::size_t step = std::min(kStep, n - i);
            take(step * sizeof(T));
            check(std::span<const T>(first + i, step));
        }
        return FragmentRecords(std::span<const T>(first, n), map_);
    }
    std::string text() {
        std::string s(count(1), '\0');
        bytes(s.data(), s.size());
        return s;
    }
    void finish() {
        const std::uint64_t expected = sum_.value();
        if (value<std::uint64_t>() != expected && verify_) fail("damaged index file (checksum mismatch)");
        if (unread() != 0) fail("index file has trailing bytes");
    }
    std::size_t offset() const { return at_; }
    const Mapping& mapping() const { return *map_; }
    [[noreturn]] void fail(const std::string& reason) const { throw InputFailure(path_ + ": " + reason); }

private:
    std::size_t unread() const { return map_->size() - at_; }
    const unsigned char* take(std::size_t size) {
        if (size > unread()) fail("truncated index file");
        const unsigned char* p = map_->data() + at_;
        if (verify_) sum_.add(p, size);
        at_ += size;
        return p;
    }
    std::string path_;
    std::shared_ptr<const Mapping> map_;
    std::size_t at_ = 0;
    bool verify_;
    Checksum sum_;
};

// The header: magic, byte order and record widths, so that a file written
// by another build or machine of another layout is refused at once.
struct Layout {
    char magic[8];
    std::uint32_t byte_order;
    std::uint32_t sizes[4];  // of size_t, Theoretical, float, Kind
};

Layout this_layout() {
    Layout l{};
    std::memcpy(l.magic, kMagic, sizeof kMagic);
    l.byte_order = kByteOrder;
    l.sizes[0] = sizeof(std::size_t);
    l.sizes[1] = sizeof(Theoretical);
    l.sizes[2] = sizeof(float);
    l.sizes[3] = sizeof(Kind);
    return l;
}

// The checks that keep a query inside the arrays whatever the file says
// (the fragments' peptide indices are checked as they are read).
void check_shape(Reader& r, const IndexedDatabase& db) {
    if (db.bucket_size == 0) r.fail("damaged index file (bucket size 0)");
    const std::size_t buckets = db.fragments.size() / db.bucket_size + (db.fragments.size() % db.bucket_size != 0);
    if (db.bucket_min_mass.size() != buckets) r.fail("damaged index file (bucket table)");
    if (const char* damage = db.peptides.damage()) r.fail(std::string("damaged index file (") + damage + ")");
    if (db.directory.empty()) return;  // lookups search whole buckets
    const IndexedDatabase& d = db;
    if (std::pair(d.directory_shift, d.directory_stride) != directory_shape(d.bucket_size, d.peptides.size()) ||
        d.directory.size() / d.directory_stride != buckets || d.directory.size() % d.directory_stride != 0)
        r.fail("damaged index file (bucket directory)");
    // Each bucket's entries rise to its length, so that a lookup stays inside the bucket.
    for (std::size_t k = 0; k < buckets; ++k) {
        const std::size_t length = std::min(d.bucket_size, d.fragments.size() - k * d.bucket_size);
        const std::uint32_t* entries = d.directory.data() + k * d.directory_stride;
        if (entries[d.directory_stride - 1] != length) r.fail("damaged index file (bucket directory)");
        for (std::size_t j = 1; j < d.directory_stride; ++j) {
            if (entries[j] < entries[j - 1]) r.fail("damaged index file (bucket directory)");
        }
    }
}

}  // namespace

void save_index(const IndexedDatabase& db, const std::string& path) {
    Writer w(path);
    w.value(this_layout());
    w.value<std::uint64_t>(db.bucket_size);
    w.value<std::uint8_t>(db.generate_decoys);
    w.text(db.decoy_tag);
    w.array(db.ion_kinds);
    w.array(db.bucket_min_mass);
    w.value<std::uint32_t>(db.directory_shift);
    w.value<std::uint64_t>(db.directory_stride);
    w.array(db.directory);
    const std::vector<SharedBytes>& accessions = db.peptides.accessions();
    w.value<std::uint64_t>(accessions.size());
    for (const SharedBytes& accession : accessions) w.text(accession ? *accession : std::string());
    db.peptides.visit_columns([&](const auto& column) { w.array(column); });
    w.value<std::uint64_t>(db.fragments.size());
    w.align(alignof(Theoretical));
    w.bytes(db.fragments.data(), db.fragments.size() * sizeof(Theoretical));
    w.finish();
}

IndexedDatabase load_index(const std::string& path, bool verify) {
    Reader r(path, verify);
    const auto layout = r.value<Layout>();
    const Layout expected = this_layout();
    if (std::memcmp(&layout, &expected, sizeof layout) != 0) r.fail("not an index file of this engine's layout");
    IndexedDatabase db;
    db.bucket_size = static_cast<std::size_t>(r.value<std::uint64_t>());
    const auto decoys = r.value<std::uint8_t>();
    if (decoys > 1) r.fail("damaged index file (bad flag)");
    db.generate_decoys = decoys != 0;
    db.decoy_tag = r.text();
    db.ion_kinds = r.array<Kind>();
    for (const Kind k : db.ion_kinds) {
        if (static_cast<std::uint8_t>(k) > static_cast<std::uint8_t>(Kind::Z)) r.fail("damaged index file (ion kind)");
    }
    db.bucket_min_mass = r.array<float>();
    db.directory_shift = r.value<std::uint32_t>();
    db.directory_stride = static_cast<std::size_t>(r.value<std::uint64_t>());
    db.directory = r.array<std::uint32_t>();
    std::vector<SharedBytes> accessions(r.count(8));
    for (SharedBytes& accession : accessions) accession = std::make_shared<const std::string>(r.text());
    db.peptides.set_accessions(std::move(accessions));
    db.peptides.visit_columns([&](auto& column) { column = r.array<typename std::decay_t<decltype(column)>::value_type>(); });
    const std::size_t copied = r.offset();
    const std::size_t peptides = db.peptides.size();
    db.fragments = r.mapped_array<Theoretical>([&](std::span<const Theoretical> block) {
        std::uint32_t highest = 0;
        for (const Theoretical& t : block) highest = std::max(highest, t.peptide_index);
        if (highest >= peptides) r.fail("damaged index file (fragment of no peptide)");
    });
    r.finish();
    r.mapping().release_before(copied);
    check_shape(r, db);
    return db;
}

}  // namespace tamrel
