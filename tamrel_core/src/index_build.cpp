#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "tamrel/database.hpp"
#include "tamrel/error.hpp"
#include "tamrel/fnv_set.hpp"
#include "tamrel/ion_series.hpp"
#include "tamrel/radix_sort.hpp"
#include "tamrel/total_order.hpp"

namespace tamrel {

namespace {

// The sequence the decoy reversal gives `p`, written into `out`.
std::string_view reversed_sequence(std::string_view bytes, std::string& out) {
    if (bytes.size() <= 2) return bytes;
    out.assign(bytes.rbegin(), bytes.rend());
    std::swap(out.front(), out.back());  // the terminal residues stay in place
    return out;
}

// Each peptide followed by its reversal, unless the reversal reads like a
// target sequence (a palindromic interior, or another target).
PeptideTable add_decoys(PeptideTable peptides) {
    const std::size_t n = peptides.size();
    // Views into the table's residues, which stay in place until the decoys are made.
    const FnvStringSet targets(n, [&](std::size_t i) -> std::optional<std::string_view> {
        if (peptides.decoy(i)) return std::nullopt;
        return peptides.sequence(i);
    });
    // Each reversal is looked up kAhead reversals after its slot was prefetched.
    constexpr std::size_t kAhead = 8;
    std::vector<std::uint8_t> keep(n);
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        std::array<std::string, kAhead> buffers;
        std::array<std::string_view, kAhead> reversals;
        std::array<std::uint64_t, kAhead> hashes{};
        for (std::size_t i = begin; i < end + kAhead; ++i) {
            const std::size_t at = i % kAhead;
            if (i >= begin + kAhead) keep[i - kAhead] = !targets.contains(reversals[at], hashes[at]);
            if (i < end) {
                reversals[at] = reversed_sequence(peptides.sequence(i), buffers[at]);
                hashes[at] = fnv1a64(reversals[at]);
                targets.prefetch(hashes[at]);
            }
        }
    });
    return std::move(peptides).with_decoys(keep);
}

// The fragment array as the sort fills it: its memory is not cleared first, since
// every record is written (clearing it would be a pass over the largest array on
// one thread, and its first touch is better spread over the scatter's threads).
class FragmentArray {
public:
    FragmentArray() = default;
    explicit FragmentArray(std::size_t n)
        : data_(static_cast<Theoretical*>(::operator new(n * sizeof(Theoretical))), Free{}), size_(n) {}
    Theoretical* data() { return data_.get(); }
    std::span<Theoretical> span() { return {data_.get(), size_}; }
    FragmentRecords records() && {
        const std::span<const Theoretical> view(data_.get(), size_);
        return data_ ? FragmentRecords(view, std::shared_ptr<const void>(std::move(data_))) : FragmentRecords();
    }

private:
    struct Free {
        void operator()(Theoretical* p) const { ::operator delete(p); }
    };
    std::shared_ptr<Theoretical> data_;
    std::size_t size_ = 0;
};

// Fragments sorted by mass without a full-size scratch array. The fragments
// are generated twice (cheap running sums): once to count them per block of
// peptides and per bin (the top 16 bits of the total-order key), once to write
// each straight into its bin. The bins, small enough for a cache-resident
// radix sort, are then sorted independently.
class FragmentSorter {
public:
    FragmentSorter(const PeptideTable& peptides, const IndexBuildSettings& settings)
        : peptides_(peptides), settings_(settings),
          blocks_(std::min<std::size_t>(peptides.size(), worker_count() * 4)) {}

    FragmentArray run() {
        if (blocks_ == 0 || settings_.ion_kinds.empty()) return {};
        plan_blocks();
        std::vector<std::size_t> next = count_bins();
        FragmentArray fragments(bin_start_[kBins]);
        scatter(next, fragments.data());
        sort_bins(fragments.span());
        return fragments;
    }

private:
    static constexpr std::size_t kBins = std::size_t{1} << 16;

    static std::uint32_t key_of(const Theoretical& t) { return total_order_key(t.fragment_mass); }
    static std::size_t bin_of(const Theoretical& t) { return key_of(t) >> 16; }

    std::size_t block_begin(std::size_t b) const { return block_start_[b]; }

    // Blocks of about equal work: a peptide's fragments grow with its length, and the peptides come sorted
    // by mass, so blocks of equal counts would grow toward the end and the last one would run alone. The
    // residues are summed over many small groups of peptides; a block ends at the group where its share of
    // the sum is reached. Where blocks end does not change the array: inside each bin the fragments stay in
    // peptide order (see `count_bins`).
    void plan_blocks() {
        const std::size_t n = peptides_.size();
        const std::size_t groups = std::min<std::size_t>(n, 4096);
        const auto group_begin = [&](std::size_t g) { return static_cast<std::size_t>(std::uint64_t{n} * g / groups); };
        std::vector<std::uint64_t> sum(groups + 1, 0);  // sum[g + 1]: the work of group g, then of groups 0..g
        parallel_for(groups, [&](std::size_t first, std::size_t last) {
            for (std::size_t g = first; g < last; ++g) {
                std::uint64_t work = 0;
                for (std::size_t i = group_begin(g); i < group_begin(g + 1); ++i) work += peptides_.sequence(i).size() + 1;
                sum[g + 1] = work;
            }
        });
        for (std::size_t g = 0; g < groups; ++g) sum[g + 1] += sum[g];
        block_start_.assign(blocks_ + 1, n);
        block_start_[0] = 0;
        for (std::size_t b = 1; b < blocks_; ++b) {
            const std::uint64_t share = sum[groups] / blocks_ * b;
            const auto g = static_cast<std::size_t>(std::lower_bound(sum.begin(), sum.end(), share) - sum.begin());
            block_start_[b] = std::max(block_start_[b - 1], group_begin(std::min(g, groups)));
        }
    }

    template <class Emit>
    void for_each_in_block(std::size_t b, const Emit& emit) const {
        for (std::size_t i = block_begin(b), end = block_begin(b + 1); i < end; ++i) {
            for_each_fragment(peptides_[i], static_cast<std::uint32_t>(i), settings_.ion_kinds,
                              settings_.min_ion_index, emit);
        }
    }

    // Returns, per block and bin, where the block writes its first fragment of
    // that bin: bins in key order, blocks in peptide order inside each bin.
    std::vector<std::size_t> count_bins() {
        std::vector<std::size_t> counts(blocks_ * kBins, 0);
        parallel_for(blocks_, [&](std::size_t first, std::size_t last) {
            for (std::size_t b = first; b < last; ++b) {
                std::size_t* count = &counts[b * kBins];
                for_each_in_block(b, [&](const Theoretical& t) { ++count[bin_of(t)]; });
            }
        });
        bin_start_.assign(kBins + 1, 0);
        std::size_t offset = 0;
        for (std::size_t bin = 0; bin < kBins; ++bin) {
            bin_start_[bin] = offset;
            for (std::size_t b = 0; b < blocks_; ++b) offset += std::exchange(counts[b * kBins + bin], offset);
        }
        bin_start_[kBins] = offset;
        return counts;
    }

    void scatter(std::vector<std::size_t>& next, Theoretical* out) const {
        parallel_for(blocks_, [&](std::size_t first, std::size_t last) {
            for (std::size_t b = first; b < last; ++b) {
                std::size_t* position = &next[b * kBins];
                for_each_in_block(b, [&](const Theoretical& t) { out[position[bin_of(t)]++] = t; });
            }
        });
    }

    void sort_bins(std::span<Theoretical> fragments) const {
        // A bin holding a large share of all fragments (masses crowded into a
        // narrow range) is sorted on the whole pool instead.
        const std::size_t total = fragments.size();
        const std::size_t local_limit = std::max<std::size_t>(std::size_t{1} << 20, total / 8);
        std::size_t largest_local = 0;
        std::vector<std::size_t> local;  // non-empty bins: the work to balance
        for (std::size_t bin = 0; bin < kBins; ++bin) {
            const std::size_t size = bin_start_[bin + 1] - bin_start_[bin];
            if (size > local_limit) {
                parallel_radix_sort(fragments.data() + bin_start_[bin], size, key_of);
            } else if (size > 0) {
                largest_local = std::max(largest_local, size);
                local.push_back(bin);
            }
        }
        parallel_for(local.size(), [&](std::size_t first, std::size_t last) {
            detail::ScratchBuffer<Theoretical> scratch(largest_local);
            for (std::size_t i = first; i < last; ++i) {
                const std::size_t bin = local[i];
                radix_sort(fragments.data() + bin_start_[bin], scratch.data,
                           bin_start_[bin + 1] - bin_start_[bin], key_of);
            }
        });
    }

    const PeptideTable& peptides_;
    const IndexBuildSettings& settings_;
    std::size_t blocks_;
    std::vector<std::size_t> block_start_;  // block b holds peptides [block_start_[b], block_start_[b + 1])
    std::vector<std::size_t> bin_start_;
};

// Buckets at least this large are each sorted on the whole pool; smaller ones
// are sorted one per thread, many at once.
constexpr std::size_t kParallelBucket = std::size_t{1} << 18;

// Sorts each bucket by peptide index and returns the bucket minima, read
// before the bucket's order changes.
std::vector<float> sort_buckets(std::span<Theoretical> fragments, std::size_t bucket_size) {
    const std::size_t n = fragments.size();
    const std::size_t buckets = n / bucket_size + (n % bucket_size != 0);
    std::vector<float> minima(buckets);
    const auto by_peptide = [](const Theoretical& t) { return t.peptide_index; };
    if (bucket_size >= kParallelBucket) {
        for (std::size_t k = 0; k < buckets; ++k) {
            const std::size_t begin = k * bucket_size;
            minima[k] = fragments[begin].fragment_mass;
            parallel_radix_sort(fragments.data() + begin, std::min(bucket_size, n - begin), by_peptide);
        }
        return minima;
    }
    parallel_for(buckets, [&](std::size_t first, std::size_t last) {
        detail::ScratchBuffer<Theoretical> scratch(bucket_size);
        for (std::size_t k = first; k < last; ++k) {
            const std::size_t begin = k * bucket_size;
            minima[k] = fragments[begin].fragment_mass;
            radix_sort(fragments.data() + begin, scratch.data, std::min(bucket_size, n - begin),
                       by_peptide);
        }
    });
    return minima;
}

}  // namespace

IndexedDatabase build_indexed_database(const IndexBuildSettings& settings, PeptideTable peptides) {
    if (settings.generate_decoys) peptides = add_decoys(std::move(peptides));
    peptides.code_modifications();  // before the fragments are allocated: the float masses are gone by then
    // Fragments name their peptide in 32 bits: refuse rather than alias peptides.
    if (std::uint64_t{peptides.size()} > std::numeric_limits<std::uint32_t>::max())
        fail("too many peptides for 32-bit peptide indices: " + std::to_string(peptides.size()));
    // What the decoys and earlier work freed goes back to the system before the largest array is made: the
    // allocator keeps freed blocks below its (raised) mapping threshold for reuse, and at this point they
    // would add about a sixth of the fragment array to the peak.
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
    FragmentArray fragments = FragmentSorter(peptides, settings).run();
    if (settings.bucket_size == 0) fail("chunk_size must not be zero");
    std::vector<float> minima = sort_buckets(fragments.span(), settings.bucket_size);

    IndexedDatabase db;
    db.peptides = std::move(peptides);
    db.fragments = std::move(fragments).records();
    db.ion_kinds = settings.ion_kinds;
    db.bucket_min_mass = std::move(minima);
    db.decoy_tag = settings.decoy_tag;
    db.bucket_size = settings.bucket_size;
    db.generate_decoys = settings.generate_decoys;
    build_bucket_directory(db);
    return db;
}

std::pair<std::uint32_t, std::size_t> directory_shape(std::size_t bucket_size, std::size_t peptides) {
    // About one cell per 8 to 16 records of a full bucket (a cache line or
    // two), however many peptides there are.
    const std::uint64_t cells = std::max<std::size_t>(1, bucket_size / 8);
    std::uint32_t shift = 0;
    while ((std::uint64_t{peptides} >> shift) >= cells) ++shift;
    return {shift, static_cast<std::size_t>(std::uint64_t{peptides} >> shift) + 2};
}

void build_bucket_directory(IndexedDatabase& db) {
    const auto [shift, stride] = directory_shape(db.bucket_size, db.peptides.size());
    const std::size_t n = db.fragments.size();
    const std::size_t buckets = db.bucket_min_mass.size();
    std::vector<std::uint32_t> directory(buckets * stride);
    parallel_for(buckets, [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) {
            const Theoretical* bucket = db.fragments.data() + k * db.bucket_size;
            const std::size_t length = std::min(db.bucket_size, n - k * db.bucket_size);
            std::uint32_t* entries = &directory[k * stride];
            std::size_t cell = 0;
            for (std::size_t i = 0; i < length; ++i) {
                const std::uint64_t reached = std::uint64_t{bucket[i].peptide_index} >> shift;
                while (cell <= reached) entries[cell++] = static_cast<std::uint32_t>(i);
            }
            while (cell < stride) entries[cell++] = static_cast<std::uint32_t>(length);
        }
    });
    db.directory = std::move(directory);
    db.directory_shift = shift;
    db.directory_stride = stride;
}

}  // namespace tamrel
