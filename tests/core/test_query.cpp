#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tamrel/database.hpp"
#include "tamrel/range_bounds.hpp"

using tamrel::IndexedDatabase;
using tamrel::Peptide;
using tamrel::Theoretical;
using tamrel::Tolerance;

namespace {

std::pair<std::size_t, std::size_t> bounds_of(const std::vector<int>& keys, int low, int high) {
    return tamrel::range_bounds(keys.size(), [&](std::size_t i) { return keys[i]; }, low, high);
}

// A database laid out by hand: peptides of the given masses, buckets as given.
IndexedDatabase hand_made(const std::vector<float>& peptide_masses,
                          const std::vector<std::vector<Theoretical>>& buckets, std::size_t bucket_size) {
    IndexedDatabase db;
    for (const float m : peptide_masses)
        db.peptides.push_back(Peptide::from_user("PEPTIDE", m, std::nullopt, std::nullopt, std::nullopt));
    for (const auto& bucket : buckets) {
        float lowest = bucket.front().fragment_mass;
        for (const auto& t : bucket) {
            db.fragments.owned().push_back(t);
            lowest = std::min(lowest, t.fragment_mass);
        }
        db.bucket_min_mass.push_back(lowest);
    }
    db.bucket_size = bucket_size;
    return db;
}

std::vector<std::pair<std::uint32_t, float>> search(const tamrel::IndexedQuery& q, float mass) {
    std::vector<std::pair<std::uint32_t, float>> out;
    q.page_search(mass, [&](const Theoretical& t) { out.emplace_back(t.peptide_index, t.fragment_mass); });
    return out;
}

}  // namespace

TEST(RangeBounds, StartsOneEarlyAndEndsAfterTheLastKeyNotAboveHigh) {
    struct Case {
        std::vector<int> keys;
        int low, high;
        std::size_t left, right;
    };
    const Case cases[] = {
        {{}, 1, 2, 0, 0},
        {{100, 200, 200, 300}, 200, 200, 0, 3},
        {{10, 20, 30}, 25, 26, 1, 2},
        {{10, 20, 30}, 1, 5, 0, 0},
        {{10, 20, 30}, 40, 50, 2, 3},
        {{10, 20, 30}, 10, 30, 0, 3},
        {{10, 10, 10, 10, 10}, 10, 10, 0, 5},
        {{5, 10, 10, 10, 10, 10, 20}, 10, 10, 0, 6},
        {{1, 2, 3, 4, 5, 6, 7, 8}, 6, 7, 4, 7},
        {{1, 2, 3, 4, 5, 6, 7, 8}, 9, 9, 7, 8},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bounds_of(c.keys, c.low, c.high), std::make_pair(c.left, c.right))
            << c.keys.size() << " [" << c.low << ", " << c.high << "]";
    }
}

TEST(RangeBounds, AgreesWithTheClosedFormOnSortedArrays) {
    const unsigned seed = 99;
    std::mt19937 rng(seed);
    for (int round = 0; round < 3000; ++round) {
        std::vector<int> keys(rng() % 40);
        for (int& k : keys) k = static_cast<int>(rng() % 30);
        std::sort(keys.begin(), keys.end());
        int low = static_cast<int>(rng() % 32) - 1, high = low + static_cast<int>(rng() % 8);
        const auto below = static_cast<std::size_t>(std::count_if(keys.begin(), keys.end(), [&](int k) { return k < low; }));
        const auto not_above = static_cast<std::size_t>(std::count_if(keys.begin(), keys.end(), [&](int k) { return k <= high; }));
        ASSERT_EQ(bounds_of(keys, low, high), std::make_pair(below == 0 ? 0 : below - 1, not_above))
            << "seed " << seed << " round " << round;
    }
}

TEST(Query, EmptyDatabaseFindsNothing) {
    const IndexedDatabase db;
    const auto q = db.query(1000.0f, Tolerance::da(-1, 1), Tolerance::da(-1, 1));
    EXPECT_EQ(q.peptide_lo, 0u);
    EXPECT_EQ(q.peptide_hi, 0u);
    EXPECT_TRUE(search(q, 500.0f).empty());
}

TEST(Query, BoundaryPeptidesAreFilteredByTheirMass) {
    // Every peptide has a fragment at 50.
    const IndexedDatabase db = hand_made({100, 200, 200, 300}, {{{0, 50}, {1, 50}, {2, 50}, {3, 50}}}, 8);
    const auto q = db.query(200.0f, Tolerance::da(0, 0), Tolerance::da(-1, 1));
    EXPECT_EQ(q.peptide_lo, 0u);
    EXPECT_EQ(q.peptide_hi, 3u);
    EXPECT_EQ(search(q, 50.0f), (std::vector<std::pair<std::uint32_t, float>>{{1, 50}, {2, 50}}));
    // A window between peptide masses yields nothing.
    EXPECT_TRUE(search(db.query(150.0f, Tolerance::da(-10, 10), Tolerance::da(-1, 1)), 50.0f).empty());
}

TEST(Query, AWindowThatIsNotFiniteHoldsNoPeptide) {
    const IndexedDatabase db = hand_made({100, 200, 200, 300}, {{{0, 50}, {1, 50}, {2, 50}, {3, 50}}}, 8);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Tolerance da = Tolerance::da(-1000, 1000), ppm = Tolerance::ppm(-10, 10);
    // The last: a finite mass whose ppm window overflows to [-inf, inf].
    const std::pair<float, Tolerance> cases[] = {{inf, da},  {-inf, da},  {nan, da},  {-nan, da},
                                                 {inf, ppm}, {-inf, ppm}, {nan, ppm}, {3.3e38f, ppm}};
    for (const auto& [mass, tol] : cases) {
        const auto q = db.query(mass, tol, Tolerance::da(-1, 1));
        EXPECT_EQ(std::pair(q.peptide_lo, q.peptide_hi), std::pair(4u, 4u)) << mass;
        EXPECT_TRUE(search(q, 50.0f).empty()) << mass;
    }
}

TEST(Query, SearchesTheBucketBeforeTheFirstMinimumReachingLow) {
    const IndexedDatabase db = hand_made({500}, {{{0, 10}, {0, 12}}, {{0, 20}, {0, 25.5f}}, {{0, 30}, {0, 31}}}, 2);
    const auto q = db.query(500.0f, Tolerance::da(-1, 1), Tolerance::da(-0.5f, 0.5f));
    EXPECT_EQ(search(q, 25.5f), (std::vector<std::pair<std::uint32_t, float>>{{0, 25.5f}}));
    EXPECT_EQ(search(q, 30.4f), (std::vector<std::pair<std::uint32_t, float>>{{0, 30}}));
    EXPECT_TRUE(search(q, 40.0f).empty());
    EXPECT_TRUE(search(q, std::numeric_limits<float>::quiet_NaN()).empty());
}

TEST(Query, WindowEdgesAreInclusiveForFragmentsAndPeptides) {
    const Tolerance frag_tol = Tolerance::ppm(-10, 10), prec_tol = Tolerance::da(-0.02f, 0.03f);
    const float centre = 733.3311f, precursor = 1500.7f;
    const auto [flo, fhi] = frag_tol.bounds(centre);
    const auto [plo, phi] = prec_tol.bounds(precursor);
    const float below = std::nextafter(flo, 0.0f), above = std::nextafter(fhi, 2000.0f);
    const IndexedDatabase db = hand_made(
        {std::nextafter(plo, 0.0f), plo, phi, std::nextafter(phi, 2000.0f)},
        {{{0, flo}, {1, below}, {1, flo}, {1, fhi}, {1, above}, {2, flo}, {2, fhi}, {3, fhi}}}, 8);
    const auto q = db.query(precursor, prec_tol, frag_tol);
    EXPECT_EQ(search(q, centre),
              (std::vector<std::pair<std::uint32_t, float>>{{1, flo}, {1, fhi}, {2, flo}, {2, fhi}}));
}

TEST(Query, PpmFragmentWindowGrowsWithMass) {
    // The same 0.005 Da offset is 50 ppm at 100 but 5 ppm at 1000.
    const IndexedDatabase db = hand_made({1000}, {{{0, 100.005f}, {0, 1000.005f}}}, 2);
    const auto q = db.query(1000.0f, Tolerance::da(-1, 1), Tolerance::ppm(-10, 10));
    EXPECT_TRUE(search(q, 100.0f).empty());
    EXPECT_EQ(search(q, 1000.0f), (std::vector<std::pair<std::uint32_t, float>>{{0, 1000.005f}}));
}

// A built index answers every query like a scan over all fragments, in
// bucket order and peptide order inside each bucket.
TEST(Query, AgreesWithABruteForceScan) {
    const unsigned seed = 4242;
    std::mt19937 rng(seed);
    const std::string residues = "ACDEFGHIKLMNPQRSTVWY";
    std::vector<Peptide> peptides;
    float mass = 700.0f;
    for (int i = 0; i < 3000; ++i) {
        std::string seq(6 + rng() % 12, 'A');
        for (char& c : seq) c = residues[rng() % residues.size()];
        mass += static_cast<float>(rng() % 3) * 0.01f;  // runs of equal masses
        peptides.push_back(Peptide::from_user(seq, mass, std::nullopt, std::nullopt, std::nullopt));
    }
    tamrel::IndexBuildSettings settings;
    settings.ion_kinds = {tamrel::Kind::B, tamrel::Kind::Y};
    settings.bucket_size = 64;
    settings.min_ion_index = 1;
    const IndexedDatabase db = tamrel::build_indexed_database(settings, peptides);
    std::uniform_real_distribution<float> precursor(690.0f, mass + 10.0f), fragment(50.0f, 1500.0f);
    for (int round = 0; round < 400; ++round) {
        const Tolerance prec_tol = Tolerance::da(-0.05f, 0.05f), frag_tol = Tolerance::ppm(-20, 20);
        // Half the queries aim at stored masses so that most of them find something.
        const bool aimed = round % 2 == 0;
        const float pm = aimed ? db.peptides.mass(rng() % db.peptides.size()) : precursor(rng);
        const float fm = aimed ? db.fragments[rng() % db.fragments.size()].fragment_mass : fragment(rng);
        const auto q = db.query(pm, prec_tol, frag_tol);
        const auto [plo, phi] = prec_tol.bounds(pm);
        const auto [flo, fhi] = frag_tol.bounds(fm);
        std::vector<std::pair<std::uint32_t, float>> expected;
        for (std::size_t start = 0; start < db.fragments.size(); start += db.bucket_size) {
            const std::size_t end = std::min(db.fragments.size(), start + db.bucket_size);
            for (std::size_t i = start; i < end; ++i) {
                const Theoretical& t = db.fragments[i];
                const float m = db.peptides.mass(t.peptide_index);
                if (m >= plo && m <= phi && t.fragment_mass >= flo && t.fragment_mass <= fhi)
                    expected.emplace_back(t.peptide_index, t.fragment_mass);
            }
        }
        ASSERT_EQ(search(q, fm), expected) << "seed " << seed << " round " << round;
    }
}
