// A seeded synthetic proteome for benchmarks: random protein sequences with
// typical residue frequencies, cut after K and R, kept at lengths 7 to 40,
// with neutral monoisotopic masses, sorted by mass as callers supply them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tamrel/database.hpp"
#include "tamrel/ion_series.hpp"
#include "tamrel/peptide.hpp"

namespace tamrel::bench {

struct ProteomeOptions {
    std::uint64_t seed = 20240611;
    std::size_t peptides = 1'000'000;  // distinct peptides to produce
    std::size_t min_length = 7;
    std::size_t max_length = 40;
};

inline constexpr float kWater = 18.010565f;

inline constexpr std::string_view kResidueLetters = "ARNDCQEGHILKMFPSTWYV";

// Index into kResidueLetters, weighted by the residue frequencies (percent)
// of a typical reviewed proteome.
inline std::discrete_distribution<std::size_t> residue_distribution() {
    return std::discrete_distribution<std::size_t>({8.25, 5.53, 4.06, 5.45, 1.37, 3.93, 6.75, 7.07, 2.27, 5.96,
                                                    9.66, 5.84, 2.42, 3.86, 4.70, 6.56, 5.34, 1.08, 2.92, 6.87});
}

// Neutral monoisotopic mass: residues summed in double, plus water, as a
// caller-side digestion would compute it.
inline float peptide_mass(std::string_view sequence) {
    double mass = kWater;
    for (const char c : sequence) mass += residue_mass(static_cast<unsigned char>(c));
    return static_cast<float>(mass);
}

// Distinct tryptic peptides of random proteins, ascending by mass.
inline std::vector<Peptide> synthetic_peptides(const ProteomeOptions& options = {}) {
    std::mt19937_64 rng(options.seed);
    auto residue = residue_distribution();
    std::uniform_int_distribution<std::size_t> protein_length(150, 800);
    std::unordered_set<std::string> seen;
    seen.reserve(options.peptides * 2);
    std::vector<std::string> sequences;
    sequences.reserve(options.peptides);
    std::string protein;
    while (sequences.size() < options.peptides) {
        protein.resize(protein_length(rng));
        for (char& c : protein) c = kResidueLetters[residue(rng)];
        std::size_t start = 0;
        for (std::size_t i = 0; i < protein.size() && sequences.size() < options.peptides; ++i) {
            if (protein[i] != 'K' && protein[i] != 'R' && i + 1 != protein.size()) continue;
            const std::size_t length = i + 1 - start;
            if (length >= options.min_length && length <= options.max_length) {
                std::string peptide = protein.substr(start, length);
                if (seen.insert(peptide).second) sequences.push_back(std::move(peptide));
            }
            start = i + 1;
        }
    }
    std::vector<Peptide> peptides;
    peptides.reserve(sequences.size());
    for (std::string& s : sequences) {
        const float mass = peptide_mass(s);
        Peptide p = Peptide::from_user(std::move(s), mass, std::nullopt, std::nullopt, std::nullopt);
        p.modifications.clear();  // as the search holds a peptide without modifications
        p.unmodified = true;
        peptides.push_back(std::move(p));
    }
    std::sort(peptides.begin(), peptides.end(),
              [](const Peptide& a, const Peptide& b) { return a.monoisotopic < b.monoisotopic; });
    return peptides;
}

// The settings of a typical search: b and y ions, decoys on.
inline IndexBuildSettings search_settings() {
    IndexBuildSettings settings;
    settings.ion_kinds = {Kind::B, Kind::Y};
    settings.decoy_tag = "rev_";
    settings.bucket_size = 8192;
    settings.min_ion_index = 2;
    settings.peptide_min_mass = 500.0f;
    settings.peptide_max_mass = 5000.0f;
    settings.generate_decoys = true;
    return settings;
}

inline SharedDatabase synthetic_database(const ProteomeOptions& options = {},
                                         const IndexBuildSettings& settings = search_settings()) {
    return std::make_shared<const IndexedDatabase>(
        build_indexed_database(settings, synthetic_peptides(options)));
}

}  // namespace tamrel::bench
