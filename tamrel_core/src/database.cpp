#include "tamrel/database.hpp"

namespace tamrel {

IndexedQuery IndexedDatabase::query(float precursor_mass, const Tolerance& precursor_tol,
                                    const Tolerance& fragment_tol) const {
    const auto [low, high] = precursor_tol.bounds(precursor_mass);
    const auto [lo, hi] = range_bounds(
        peptides.size(), [&](std::size_t i) { return total_order_key(peptides[i].monoisotopic); },
        total_order_key(low), total_order_key(high));
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
