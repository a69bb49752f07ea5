// The fragment-indexed peptide database: built once, immutable, shared.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tamrel/peptide_table.hpp"
#include "tamrel/range_bounds.hpp"
#include "tamrel/tolerance.hpp"
#include "tamrel/total_order.hpp"

namespace tamrel {

struct Theoretical {
    std::uint32_t peptide_index = 0;
    float fragment_mass = 0.0f;  // neutral
};
static_assert(sizeof(Theoretical) == 8);

struct IndexBuildSettings {
    std::vector<Kind> ion_kinds;
    std::string decoy_tag;
    std::size_t bucket_size = 8192;
    std::size_t min_ion_index = 2;
    float peptide_min_mass = 0.0f;  // stored only; the build does not use it
    float peptide_max_mass = 0.0f;  // stored only
    bool generate_decoys = true;
};

// The fragment records of an index: the build's own array, or a view of a
// loaded index file mapped in place (`keeper` holds the mapping), so that the
// processes of one host that load the same file share its pages.
class FragmentRecords {
public:
    FragmentRecords() = default;
    FragmentRecords(std::vector<Theoretical> owned) : owned_(std::move(owned)) {}  // NOLINT: a built array
    FragmentRecords(std::span<const Theoretical> view, std::shared_ptr<const void> keeper)
        : view_(view), keeper_(std::move(keeper)) {}

    const Theoretical* data() const { return keeper_ ? view_.data() : owned_.data(); }
    std::size_t size() const { return keeper_ ? view_.size() : owned_.size(); }
    bool empty() const { return size() == 0; }
    const Theoretical& operator[](std::size_t i) const { return data()[i]; }
    const Theoretical* begin() const { return data(); }
    const Theoretical* end() const { return data() + size(); }
    // The array of an index put together by hand; a mapped view has none.
    std::vector<Theoretical>& owned() { return owned_; }

private:
    std::vector<Theoretical> owned_;
    std::span<const Theoretical> view_;
    std::shared_ptr<const void> keeper_;
};

class IndexedQuery;

struct IndexedDatabase {
    PeptideTable peptides;               // caller's order (ascending mass), each decoy after its target
    FragmentRecords fragments;           // buckets by mass, peptide order inside a bucket
    std::vector<Kind> ion_kinds;
    std::vector<float> bucket_min_mass;
    // Where each bucket's peptide indices reach multiples of 2^directory_shift:
    // entry j of bucket k (directory_stride entries per bucket) is the first
    // position in the bucket whose peptide index is at least j << directory_shift,
    // its last entry the bucket's length. It narrows a lookup by peptide index
    // to a few cache lines of a large, cold bucket. Empty for a database put
    // together by hand: lookups then search whole buckets.
    std::vector<std::uint32_t> directory;
    std::uint32_t directory_shift = 0;
    std::size_t directory_stride = 0;
    std::string decoy_tag;
    std::size_t bucket_size = 0;
    bool generate_decoys = false;

    // The positions [first, last) of bucket k (`length` records) among which
    // lies its first record whose peptide index is not below `key`, or `last`
    // when there is none.
    std::pair<std::size_t, std::size_t> bucket_span(std::size_t k, std::uint32_t key,
                                                    std::size_t length) const {
        if (directory.empty()) return {0, length};
        const std::uint64_t cell = std::uint64_t{key} >> directory_shift;
        if (cell + 1 >= directory_stride) return {length, length};
        const std::uint32_t* entries = directory.data() + k * directory_stride + cell;
        return {entries[0], entries[1]};
    }

    // The precursor-window view used for fragment lookups. A window that is
    // not finite (a NaN or infinite mass, or bounds overflowing the 32-bit
    // range) holds no peptide: its range is empty, past the last peptide.
    IndexedQuery query(float precursor_mass, const Tolerance& precursor_tol,
                       const Tolerance& fragment_tol) const;
};

using SharedDatabase = std::shared_ptr<const IndexedDatabase>;

// The peptides of one precursor window. Borrows the database, which must
// outlive the query (scoring holds a shared reference for the whole call).
class IndexedQuery {
public:
    const IndexedDatabase* db = nullptr;
    float precursor_mass = 0.0f;
    Tolerance precursor_tol;
    Tolerance fragment_tol;
    std::uint32_t peptide_lo = 0;  // may be the one peptide just below the window
    std::uint32_t peptide_hi = 0;  // may be the first peptide above the window

    // Calls `visit(const Theoretical&)` for every indexed fragment whose mass lies
    // in the fragment window around `fragment_mass` and whose peptide lies in the
    // precursor window; bucket by bucket, peptide order inside a bucket.
    // Allocates nothing.
    template <class Visit>
    void page_search(float fragment_mass, Visit&& visit) const;
};

// Builds the index from the caller's peptides (consumed). Throws Failure on
// any internal failure, including those raised on worker threads.
IndexedDatabase build_indexed_database(const IndexBuildSettings& settings, PeptideTable peptides);

// Fills the directory of an index whose buckets are sorted (the build calls
// it; an index file stores it).
void build_bucket_directory(IndexedDatabase& db);

// The directory's shift and stride for `peptides` peptides in buckets of
// `bucket_size` records.
std::pair<std::uint32_t, std::size_t> directory_shape(std::size_t bucket_size, std::size_t peptides);

template <class Visit>
void IndexedQuery::page_search(float fragment_mass, Visit&& visit) const {
    const auto [fragment_low, fragment_high] = fragment_tol.bounds(fragment_mass);
    const auto [precursor_low, precursor_high] = precursor_tol.bounds(precursor_mass);
    const std::vector<float>& minima = db->bucket_min_mass;
    const FragmentRecords& fragments = db->fragments;
    const PeptideTable& peptides = db->peptides;

    const auto [first_bucket, end_bucket] =
        range_bounds(minima.size(), [&](std::size_t k) { return total_order_key(minima[k]); },
                     total_order_key(fragment_low), total_order_key(fragment_high));
    for (std::size_t k = first_bucket; k < end_bucket; ++k) {
        const std::size_t begin = k * db->bucket_size;
        const Theoretical* slice = fragments.data() + begin;
        const std::size_t length = std::min(db->bucket_size, fragments.size() - begin);
        const auto [a, b] = range_bounds(
            length, [&](std::size_t i) { return slice[i].peptide_index; }, peptide_lo, peptide_hi);
        for (std::size_t i = a; i < b; ++i) {
            const Theoretical& t = slice[i];
            // Only the two boundary peptides can lie outside the precursor window.
            if (t.peptide_index < peptide_lo) continue;
            if (t.peptide_index == peptide_lo &&
                !(peptides.mass(peptide_lo) >= precursor_low))
                continue;
            if (t.peptide_index > peptide_hi) continue;
            if (t.peptide_index == peptide_hi &&
                !(peptides.mass(peptide_hi) <= precursor_high))
                continue;
            if (t.fragment_mass >= fragment_low && t.fragment_mass <= fragment_high) visit(t);
        }
    }
}

}  // namespace tamrel
