#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "tamrel/database.hpp"
#include "tamrel/error.hpp"
#include "tamrel/index_file.hpp"

using tamrel::IndexedDatabase;
using tamrel::Peptide;

namespace {

IndexedDatabase small_index() {
    std::vector<Peptide> peptides;
    peptides.push_back(Peptide::from_user("PEPTIDEK", 927.45f, std::nullopt, std::nullopt, std::nullopt));
    peptides.push_back(Peptide::from_user("MCDEFGHIKR", 1200.5f, std::vector<float>{15.9949f, 57.0215f, 0, 0, 0, 0, 0, 0, 0, 0},
                                          42.0106f, std::nullopt));
    peptides.push_back(Peptide::from_user("LLLLAGGK", 1300.25f, std::nullopt, std::nullopt, -0.984f));
    Peptide bare = Peptide::from_user("SAMPLERK", 1400.5f, std::nullopt, std::nullopt, std::nullopt);
    bare.modifications.clear();
    bare.unmodified = true;
    peptides.push_back(std::move(bare));
    tamrel::IndexBuildSettings s;
    s.ion_kinds = {tamrel::Kind::B, tamrel::Kind::Y};
    s.bucket_size = 4;
    s.decoy_tag = "rev_";
    return tamrel::build_indexed_database(s, std::move(peptides));
}

std::string temp_path(const char* name) {
    return testing::TempDir() + name + std::to_string(::getpid());
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_all(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string load_failure(const std::string& path, bool verify = true) {
    try {
        tamrel::load_index(path, verify);
    } catch (const tamrel::InputFailure& e) {
        return e.what();
    }
    return "loaded";
}

}  // namespace

TEST(IndexFile, RoundTripKeepsEveryRecordBitForBit) {
    const IndexedDatabase db = small_index();
    const std::string path = temp_path("roundtrip");
    tamrel::save_index(db, path);
    for (const bool verify : {true, false}) {  // a load that trusts the file reads the same records
        SCOPED_TRACE(verify);
        const IndexedDatabase back = tamrel::load_index(path, verify);
        EXPECT_EQ(back.bucket_size, db.bucket_size);
        EXPECT_EQ(back.decoy_tag, db.decoy_tag);
        EXPECT_EQ(back.generate_decoys, db.generate_decoys);
        EXPECT_EQ(back.ion_kinds, db.ion_kinds);
        EXPECT_EQ(back.bucket_min_mass, db.bucket_min_mass);
        EXPECT_EQ(back.directory, db.directory);
        EXPECT_EQ(back.directory_shift, db.directory_shift);
        EXPECT_EQ(back.directory_stride, db.directory_stride);
        ASSERT_EQ(back.fragments.size(), db.fragments.size());
        for (std::size_t i = 0; i < db.fragments.size(); ++i) {
            EXPECT_EQ(back.fragments[i].peptide_index, db.fragments[i].peptide_index);
            EXPECT_EQ(std::bit_cast<std::uint32_t>(back.fragments[i].fragment_mass),
                      std::bit_cast<std::uint32_t>(db.fragments[i].fragment_mass));
        }
        ASSERT_EQ(back.peptides.size(), 8u);  // with the decoys
        for (std::size_t i = 0; i < db.peptides.size(); ++i) {
            const Peptide a = back.peptides.peptide(i), b = db.peptides.peptide(i);
            EXPECT_EQ(*a.sequence, *b.sequence);
            EXPECT_EQ(a.modifications, b.modifications);
            EXPECT_EQ(a.unmodified, b.unmodified);
            EXPECT_EQ(a.nterm, b.nterm);
            EXPECT_EQ(a.cterm, b.cterm);
            EXPECT_EQ(std::bit_cast<std::uint32_t>(a.monoisotopic), std::bit_cast<std::uint32_t>(b.monoisotopic));
            EXPECT_EQ(a.decoy, b.decoy);
            EXPECT_EQ(a.missed_cleavages, b.missed_cleavages);
            ASSERT_EQ(a.proteins.size(), b.proteins.size());
            for (std::size_t k = 0; k < a.proteins.size(); ++k) EXPECT_EQ(*a.proteins[k], *b.proteins[k]);
        }
        // an accession is read once and shared by its peptides, as in the built index
        EXPECT_EQ(back.peptides.peptide(0).proteins[0].get(), back.peptides.peptide(5).proteins[0].get());
    }
    std::remove(path.c_str());
}

TEST(IndexFile, DamagedTruncatedOrForeignFilesAreRefused) {
    const std::string path = temp_path("damaged");
    tamrel::save_index(small_index(), path);
    const std::string good = read_all(path);
    EXPECT_EQ(load_failure(path + ".missing").rfind(path + ".missing: cannot open: ", 0), 0u);
    for (std::size_t cut : {std::size_t{0}, std::size_t{10}, good.size() / 2, good.size() - 1}) {
        write_all(path, good.substr(0, cut));
        EXPECT_EQ(load_failure(path), path + ": truncated index file") << cut;
    }
    write_all(path, good + "x");
    EXPECT_EQ(load_failure(path), path + ": index file has trailing bytes");
    std::string foreign = good;
    foreign[7] = '0';
    write_all(path, foreign);
    EXPECT_EQ(load_failure(path), path + ": not an index file of this engine's layout");
    // any flipped byte past the header is caught: by the checksum, or earlier by a count or flag it breaks
    for (std::size_t at = 28; at < good.size(); at += 7) {
        std::string flipped = good;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x10);
        write_all(path, flipped);
        EXPECT_NE(load_failure(path), "loaded") << at;
    }
    std::remove(path.c_str());
}

TEST(IndexFile, UnwritablePathNamesIt) {
    try {
        tamrel::save_index(small_index(), "/nonexistent-dir/index.bin");
        FAIL() << "saved";
    } catch (const tamrel::InputFailure& e) {
        EXPECT_EQ(std::string(e.what()), "/nonexistent-dir/index.bin: cannot write the index: No such file or directory");
    }
}

// A file whose checksum holds but whose content would send a lookup outside
// the arrays (written from a damaged index, or by a faulty build) is refused.
TEST(IndexFile, IllFormedContentIsRefusedThoughItsChecksumHolds) {
    const std::string path = temp_path("illformed");
    using Damage = void (*)(IndexedDatabase&);
    const std::pair<Damage, const char*> cases[] = {
        {[](IndexedDatabase& db) {
             std::vector<tamrel::Theoretical> damaged(db.fragments.begin(), db.fragments.end());
             damaged[3].peptide_index = 8;
             db.fragments = std::move(damaged);
         },
         "fragment of no peptide"},
        {[](IndexedDatabase& db) { db.directory[db.directory_stride - 1] += 1; }, "bucket directory"},
        {[](IndexedDatabase& db) { std::swap(db.directory[0], db.directory[db.directory_stride - 1]); },
         "bucket directory"},
        {[](IndexedDatabase& db) { db.directory_shift += 1; }, "bucket directory"},
        {[](IndexedDatabase& db) { db.directory.pop_back(); }, "bucket directory"},
    };
    for (const auto& [damage, reason] : cases) {
        IndexedDatabase db = small_index();
        ASSERT_FALSE(db.directory.empty());
        damage(db);
        tamrel::save_index(db, path);
        EXPECT_EQ(load_failure(path), path + ": damaged index file (" + reason + ")");
        // a load that trusts the file checks its shape still; only the fragments' records go unread
        EXPECT_EQ(load_failure(path, false), std::string(reason) == "fragment of no peptide"
                                                 ? "loaded" : path + ": damaged index file (" + reason + ")");
    }
    IndexedDatabase bare = small_index();  // put together by hand: no directory, whole buckets searched
    bare.directory.clear();
    tamrel::save_index(bare, path);
    EXPECT_TRUE(tamrel::load_index(path).directory.empty());
    std::remove(path.c_str());
}
