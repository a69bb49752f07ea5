#include "tamrel/database.hpp"

#include <cmath>

namespace tamrel {

IndexedQuery IndexedDatabase::query(float precursor_mass, const Tolerance& precursor_tol,
                                    const Tolerance& fragment_tol) const {
    const auto [low, high] = precursor_tol.bounds(precursor_mass);
    // Under the total order a NaN bound (inf - inf, whose sign the processor
    // picks) would span the whole database, and the lookups test the mass of
    // the two boundary peptides only.
    const bool finite = std::isfinite(precursor_mass) && std::isfinite(low) && std::isfinite(high);
    const auto [lo, hi] =
        finite ? range_bounds(
                     peptides.size(),
                     [&](std::size_t i) { return total_order_key(peptides.mass(i)); },
                     total_order_key(low), total_order_key(high))
               : std::pair{peptides.size(), peptides.size()};
    IndexedQuery q;
    q.db = this;
    q.precursor_mass = precursor_mass;
    q.precursor_tol = precursor_tol;
    q.fragment_tol = fragment_tol;
    q.peptide_lo = static_cast<std::uint32_t>(lo);
    q.peptide_hi = static_cast<std::uint32_t>(hi);
    return q;
}

}  // namespace tamrel
