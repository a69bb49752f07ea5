#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tamrel/database.hpp"
#include "tamrel/error.hpp"
#include "tamrel/ion_series.hpp"
#include "tamrel/total_order.hpp"

using tamrel::IndexBuildSettings;
using tamrel::IndexedDatabase;
using tamrel::Kind;
using tamrel::Peptide;

namespace {

Peptide make(const std::string& seq, float mass = 1000.0f) {
    return Peptide::from_user(seq, mass, std::nullopt, std::nullopt, std::nullopt);
}

IndexBuildSettings settings(std::size_t bucket_size, bool decoys, std::vector<Kind> kinds = {Kind::B, Kind::Y},
                            std::size_t min_ion_index = 0) {
    IndexBuildSettings s;
    s.ion_kinds = std::move(kinds);
    s.bucket_size = bucket_size;
    s.generate_decoys = decoys;
    s.min_ion_index = min_ion_index;
    s.decoy_tag = "rev_";
    return s;
}

std::vector<std::pair<std::string, bool>> listing(const IndexedDatabase& db) {
    std::vector<std::pair<std::string, bool>> out;
    for (const tamrel::PeptideView p : db.peptides) out.emplace_back(p.sequence, p.decoy);
    return out;
}

// Checks every ordering rule of a finished index and that it holds exactly
// the fragments the ion series of its peptides yield.
void expect_well_formed(const IndexedDatabase& db, const IndexBuildSettings& s) {
    const std::size_t n = db.fragments.size(), size = db.bucket_size;
    ASSERT_EQ(db.bucket_min_mass.size(), (n + size - 1) / size);
    std::uint32_t previous_max = 0;
    for (std::size_t k = 0; k < db.bucket_min_mass.size(); ++k) {
        const std::size_t begin = k * size, end = std::min(n, begin + size);
        std::uint32_t lo = UINT32_MAX, hi = 0;
        for (std::size_t i = begin; i < end; ++i) {
            const std::uint32_t key = tamrel::total_order_key(db.fragments[i].fragment_mass);
            lo = std::min(lo, key);
            hi = std::max(hi, key);
            if (i > begin) {
                ASSERT_LE(db.fragments[i - 1].peptide_index, db.fragments[i].peptide_index) << i;
            }
        }
        ASSERT_EQ(tamrel::total_order_key(db.bucket_min_mass[k]), lo) << k;
        // The directory brackets the first record not below a peptide index:
        // checked at the bucket's own indices, just past them, and on a grid.
        const tamrel::Theoretical* bucket = db.fragments.data() + begin;
        std::vector<std::uint32_t> keys;
        for (std::size_t i = begin; i < end; ++i) {
            keys.push_back(db.fragments[i].peptide_index);
            keys.push_back(db.fragments[i].peptide_index + 1);
        }
        const std::size_t step = std::max<std::size_t>(1, db.peptides.size() / 64);
        for (std::size_t key = 0; key <= db.peptides.size(); key += step) keys.push_back(static_cast<std::uint32_t>(key));
        for (const std::uint32_t key : keys) {
            const auto [first, last] = db.bucket_span(k, key, end - begin);
            const auto found = std::partition_point(bucket, bucket + (end - begin),
                [&](const tamrel::Theoretical& t) { return t.peptide_index < key; }) - bucket;
            ASSERT_LE(first, static_cast<std::size_t>(found)) << k << " " << key;
            ASSERT_GE(last, static_cast<std::size_t>(found)) << k << " " << key;
            ASSERT_LE(last - first, end - begin) << k << " " << key;
        }
        if (k > 0) {
            ASSERT_LE(previous_max, lo) << k;
        }
        previous_max = hi;
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> expected, actual;
    std::vector<tamrel::Theoretical> scratch;
    for (std::size_t i = 0; i < db.peptides.size(); ++i)
        tamrel::append_fragments(db.peptides[i], static_cast<std::uint32_t>(i), s.ion_kinds,
                                 s.min_ion_index, scratch);
    for (const auto& t : scratch) expected.emplace_back(t.peptide_index, std::bit_cast<std::uint32_t>(t.fragment_mass));
    for (const auto& t : db.fragments) actual.emplace_back(t.peptide_index, std::bit_cast<std::uint32_t>(t.fragment_mass));
    std::sort(expected.begin(), expected.end());
    std::sort(actual.begin(), actual.end());
    ASSERT_EQ(actual, expected);
}

std::string failure_of(const IndexBuildSettings& s, std::vector<Peptide> peptides) {
    try {
        (void)tamrel::build_indexed_database(s, std::move(peptides));
    } catch (const tamrel::Failure& e) {
        return e.what();
    }
    return "(no failure)";
}

}  // namespace

TEST(IndexBuild, EmptyInputsGiveEmptyIndexes) {
    const IndexedDatabase empty = tamrel::build_indexed_database(settings(8, true), {});
    EXPECT_TRUE(empty.peptides.empty());
    EXPECT_TRUE(empty.fragments.empty());
    EXPECT_TRUE(empty.bucket_min_mass.empty());

    const IndexedDatabase no_kinds =
        tamrel::build_indexed_database(settings(8, true, {}), std::vector<Peptide>{make("PEPTIDEK")});
    EXPECT_TRUE(no_kinds.fragments.empty());
    EXPECT_TRUE(no_kinds.bucket_min_mass.empty());
    EXPECT_EQ(listing(no_kinds), (std::vector<std::pair<std::string, bool>>{{"PEPTIDEK", false},
                                                                            {"PEDITPEK", true}}));
}

TEST(IndexBuild, DecoysFollowTheirTargetsUnlessTheyReadLikeATarget) {
    using L = std::vector<std::pair<std::string, bool>>;
    const auto build = [](std::vector<Peptide> peptides, bool decoys = true) {
        return listing(tamrel::build_indexed_database(settings(4, decoys), std::move(peptides)));
    };
    EXPECT_EQ(build({make("PEPTIDEK"), make("AAA")}),
              (L{{"PEPTIDEK", false}, {"PEDITPEK", true}, {"AAA", false}}));
    EXPECT_EQ(build({make("PEPTIDEK"), make("PEPTIDEK")}),
              (L{{"PEPTIDEK", false}, {"PEDITPEK", true}, {"PEPTIDEK", false}, {"PEDITPEK", true}}));
    // Each one's reversal is the other target: neither gets a decoy.
    EXPECT_EQ(build({make("ABCDE"), make("ADCBE")}), (L{{"ABCDE", false}, {"ADCBE", false}}));
    EXPECT_EQ(build({make("PEPTIDEK"), make("AAA")}, false), (L{{"PEPTIDEK", false}, {"AAA", false}}));
    // Only targets block decoys: a decoy-flagged input does not, and its own
    // reversal (flag flipped back) is blocked by the target it came from.
    Peptide flagged = make("ADCBE");
    flagged.decoy = true;
    EXPECT_EQ(build({make("ABCDE"), flagged}), (L{{"ABCDE", false}, {"ADCBE", true}, {"ADCBE", true}}));
}

TEST(IndexBuild, TenFragmentsInBucketsOfFourFourTwo) {
    // b ions: WWWWW gives 4 heavy ones (peptide 0), GGGGGGG 6 light ones (peptide 1).
    const auto s = settings(4, false, {Kind::B});
    const IndexedDatabase db =
        tamrel::build_indexed_database(s, std::vector<Peptide>{make("WWWWW", 948.4f), make("GGGGGGG", 417.2f)});
    ASSERT_EQ(db.fragments.size(), 10u);
    ASSERT_EQ(db.bucket_min_mass.size(), 3u);
    expect_well_formed(db, s);
    const float g = tamrel::residue_mass('G'), w = tamrel::residue_mass('W');
    EXPECT_EQ(db.bucket_min_mass[0], g);
    // The lightest fragment of bucket 0 belongs to peptide 1, so it is not first.
    EXPECT_EQ(db.fragments[0].peptide_index, 0u);
    EXPECT_EQ(db.fragments[0].fragment_mass, w);
    EXPECT_EQ(db.fragments[8].peptide_index, 0u);
    EXPECT_EQ(db.bucket_size, 4u);
    EXPECT_EQ(db.ion_kinds, std::vector<Kind>{Kind::B});
    EXPECT_EQ(db.decoy_tag, "rev_");
}

TEST(IndexBuild, BucketSizeOneListsTheSortedMasses) {
    const auto s = settings(1, true);
    const IndexedDatabase db = tamrel::build_indexed_database(s, std::vector<Peptide>{make("PEPTIDEK", 927.45f), make("SAMPLER", 802.4f)});
    ASSERT_EQ(db.bucket_min_mass.size(), db.fragments.size());
    for (std::size_t i = 0; i < db.fragments.size(); ++i) EXPECT_EQ(db.bucket_min_mass[i], db.fragments[i].fragment_mass);
    expect_well_formed(db, s);
}

TEST(IndexBuild, InternalFailuresAbortTheBuild) {
    EXPECT_EQ(failure_of(settings(0, true), {}), "chunk_size must not be zero");
    EXPECT_EQ(failure_of(settings(0, false), {make("PEPTIDEK")}), "chunk_size must not be zero");
    EXPECT_EQ(failure_of(settings(4, false), {make("PEPTIDEK"), make("")}),
              "index out of bounds: the len is 0 but the index is 0");
    EXPECT_EQ(failure_of(settings(4, false, {}), {make("")}), "(no failure)");

    Peptide short_mods = make("PEPTIDEK");
    short_mods.modifications.resize(5);
    EXPECT_EQ(failure_of(settings(4, false), {short_mods}), "index out of bounds: the len is 5 but the index is 5");
    EXPECT_EQ(failure_of(settings(4, true, {}), {short_mods}),
              "range end index 7 out of range for slice of length 5");

    // One bad peptide among many: the failure comes back from a worker.
    std::vector<Peptide> many(20000, make("PEPTIDEK"));
    many[12345] = make("");
    EXPECT_EQ(failure_of(settings(64, true), std::move(many)), "index out of bounds: the len is 0 but the index is 0");
}

TEST(IndexBuild, MassLimitsAreStoredButIgnored) {
    auto s = settings(4, true);
    s.peptide_min_mass = 5000.0f;
    s.peptide_max_mass = 10.0f;
    const IndexedDatabase db = tamrel::build_indexed_database(s, std::vector<Peptide>{make("PEPTIDEK", 927.45f)});
    EXPECT_EQ(db.peptides.size(), 2u);
    EXPECT_EQ(db.fragments.size(), 2u * 2 * 7);
}

// Seeded random peptides, large enough for the parallel sort paths (more than
// 2^16 fragments, and buckets of 2^18 sorted on the whole pool).
TEST(IndexBuild, RandomPeptidesGiveWellFormedIndexes) {
    const unsigned seed = 7031;
    std::mt19937 rng(seed);
    const std::string residues = "ACDEFGHIKLMNPQRSTVWYxX";
    std::vector<Peptide> peptides;
    float mass = 300.0f;
    for (int i = 0; i < 16000; ++i) {
        std::string seq(7 + rng() % 20, 'A');
        for (char& c : seq) c = residues[rng() % residues.size()];
        if (i % 50 == 0) seq = peptides.empty() ? seq : *peptides.back().sequence;  // duplicates
        Peptide p = make(seq, mass += 0.25f);
        if (i % 7 == 0) p.modifications[rng() % seq.size()] = 15.9949f;
        if (i % 11 == 0) p.nterm = 42.0106f;
        peptides.push_back(std::move(p));
    }
    std::vector<std::pair<std::string, bool>> expected_listing;
    std::set<std::string> targets;
    for (const Peptide& p : peptides) targets.insert(*p.sequence);
    for (const Peptide& p : peptides) {
        expected_listing.emplace_back(*p.sequence, false);
        const Peptide r = p.reverse();
        if (!targets.count(*r.sequence)) expected_listing.emplace_back(*r.sequence, true);
    }
    for (const std::size_t bucket : {7u, 8192u, 1u << 18}) {
        const auto s = settings(bucket, true, {Kind::B, Kind::Y, Kind::C}, 2);
        const IndexedDatabase db = tamrel::build_indexed_database(s, peptides);
        SCOPED_TRACE("seed " + std::to_string(seed) + " bucket " + std::to_string(bucket));
        ASSERT_EQ(listing(db), expected_listing);
        ASSERT_GT(db.fragments.size(), 1u << 18);
        expect_well_formed(db, s);
    }
}
