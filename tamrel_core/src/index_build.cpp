#include <string_view>

#include "tamrel/database.hpp"
#include "tamrel/error.hpp"
#include "tamrel/fnv_set.hpp"
#include "tamrel/ion_series.hpp"
#include "tamrel/parallel.hpp"
#include "tamrel/total_order.hpp"

namespace tamrel {

namespace {

std::string_view sequence_of(const Peptide& p) {
    return p.sequence ? std::string_view(*p.sequence) : std::string_view();
}

// Each peptide followed by its reversal, unless the reversal reads like a
// target sequence (a palindromic interior, or another target).
std::vector<Peptide> add_decoys(std::vector<Peptide> peptides) {
    // Views into the peptides' shared bytes: moving a peptide below moves the
    // owning pointer, never the bytes, so the views stay valid.
    FnvStringSet targets(peptides.size());
    parallel_for(peptides.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (!peptides[i].decoy) targets.insert(sequence_of(peptides[i]));
        }
    });
    return parallel_flat_map<Peptide>(peptides.size(), [&](std::size_t i, std::vector<Peptide>& out) {
        Peptide decoy = peptides[i].reverse();
        const bool keep = !targets.contains(sequence_of(decoy));
        out.push_back(std::move(peptides[i]));
        if (keep) out.push_back(std::move(decoy));
    });
}

// All fragments in peptide order: counted first, then written in place, so no
// per-peptide lists are allocated.
std::vector<Theoretical> generate_fragments(const std::vector<Peptide>& peptides,
                                            const IndexBuildSettings& settings) {
    const std::size_t n = peptides.size();
    const std::size_t kinds = settings.ion_kinds.size();
    std::vector<std::size_t> offsets(n + 1, 0);
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            offsets[i + 1] = fragment_count(peptides[i].length(), kinds, settings.min_ion_index);
    });
    for (std::size_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];

    std::vector<Theoretical> fragments(offsets[n]);
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            write_fragments(peptides[i], static_cast<std::uint32_t>(i), settings.ion_kinds,
                            settings.min_ion_index, fragments.data() + offsets[i]);
        }
    });
    return fragments;
}

// Buckets at least this large are each sorted on the whole pool; smaller ones
// are sorted one per thread, many at once.
constexpr std::size_t kParallelBucket = std::size_t{1} << 18;

// Sorts each bucket by peptide index and returns the bucket minima, read
// before the bucket's order changes.
std::vector<float> sort_buckets(std::vector<Theoretical>& fragments, std::size_t bucket_size) {
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

IndexedDatabase build_indexed_database(const IndexBuildSettings& settings,
                                       std::vector<Peptide> peptides) {
    if (settings.generate_decoys) peptides = add_decoys(std::move(peptides));
    std::vector<Theoretical> fragments = generate_fragments(peptides, settings);
    parallel_radix_sort(fragments.data(), fragments.size(),
                        [](const Theoretical& t) { return total_order_key(t.fragment_mass); });
    if (settings.bucket_size == 0) fail("chunk_size must not be zero");
    std::vector<float> minima = sort_buckets(fragments, settings.bucket_size);

    IndexedDatabase db;
    db.peptides = std::move(peptides);
    db.fragments = std::move(fragments);
    db.ion_kinds = settings.ion_kinds;
    db.bucket_min_mass = std::move(minima);
    db.decoy_tag = settings.decoy_tag;
    db.bucket_size = settings.bucket_size;
    db.generate_decoys = settings.generate_decoys;
    return db;
}

}  // namespace tamrel
