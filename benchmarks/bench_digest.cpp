// Digestion benchmark: a FASTA file (or a seeded synthetic proteome) digested
// with the search's default rules (trypsin, one missed cleavage, lengths 7 to
// 50, fixed C+57.021464, variable M+15.994915 up to two per peptide), with 1
// worker and with 2; the output must be the same for both.
//
//   build/core/bench_digest [FASTA [rounds]]
//
// Each worker count runs in a child process of its own (the pool is sized once
// per process from RAYON_NUM_THREADS).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <string>

#include "synthetic.hpp"
#include "tamrel/digest.hpp"
#include "tamrel/parallel.hpp"

namespace {

// The proteins of a FASTA file, one per line (headers dropped); a synthetic
// proteome of 20,000 proteins without a path.
std::string proteome_of(const std::string& path) {
    std::string text;
    if (path.empty()) {
        std::mt19937_64 rng(20240611);
        auto residue = tamrel::bench::residue_distribution();
        std::uniform_int_distribution<std::size_t> length(150, 800);
        for (int p = 0; p < 20000; ++p) {
            if (p > 0) text.push_back('\n');
            for (std::size_t i = length(rng); i > 0; --i) text.push_back(tamrel::bench::kResidueLetters[residue(rng)]);
        }
        return text;
    }
    std::ifstream in(path);
    std::string line;
    bool sequence = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] == '>') {
            if (sequence) text.push_back('\n');
            sequence = false;
            continue;
        }
        for (char c : line) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (c >= 'A' && c <= 'Z') text.push_back(c);
        }
        sequence = true;
    }
    return text;
}

tamrel::DigestRules default_rules() {
    tamrel::DigestRules rules;
    rules.cleave = "KR";
    rules.unless = "P";
    rules.water = 18.0105646837;
    rules.fixed['C' - 'A'] = static_cast<double>(57.021464f);
    rules.variable.push_back({'M', {static_cast<double>(15.994915f)}});
    return rules;
}

// A digest's columns folded into one 64-bit value, to compare runs.
std::uint64_t fingerprint(const tamrel::Digest& d) {
    std::uint64_t h = 1469598103934665603ull;
    auto mix = [&](const void* data, std::size_t bytes) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < bytes; ++i) h = (h ^ p[i]) * 1099511628211ull;
    };
    auto column = [&](const auto& v) { mix(v.data(), v.size() * sizeof(v[0])); };
    column(d.residues), column(d.sequence_offsets), column(d.missed_cleavages), column(d.protein_offsets);
    column(d.protein_ids), column(d.sequence), column(d.mass), column(d.mod_offsets), column(d.mod_values);
    column(d.nterm), column(d.cterm);
    return h;
}

int child(const std::string& path, int rounds) {
    const std::string text = proteome_of(path);
    const tamrel::DigestRules rules = default_rules();
    (void)tamrel::worker_count();
    double best = 0, best_cpu = 0;
    std::size_t rows = 0;
    std::uint64_t print = 0;
    for (int round = 0; round < rounds; ++round) {
        const std::clock_t cpu_start = std::clock();
        const auto start = std::chrono::steady_clock::now();
        const tamrel::Digest d = tamrel::digest_proteome(text, rules);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
        if (round == 0 || seconds < best) best = seconds, best_cpu = cpu;
        rows = d.mass.size();
        print = fingerprint(d);
    }
    std::printf("%zu %zu %zu %.6f %.6f %llu\n", tamrel::worker_count(), text.size(), rows, best, best_cpu,
                static_cast<unsigned long long>(print));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--child") return child(argv[2], std::stoi(argv[3]));
    const std::string path = argc >= 2 ? argv[1] : "";
    const int rounds = argc >= 3 ? std::max(1, std::stoi(argv[2])) : 5;
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) return 1;
    self[length] = '\0';
    double seconds[2] = {};
    unsigned long long prints[2] = {};
    for (std::size_t w = 1; w <= 2; ++w) {
        const std::string command = "RAYON_NUM_THREADS=" + std::to_string(w) + " '" + self + "' --child '" + path +
                                    "' " + std::to_string(rounds);
        FILE* out = popen(command.c_str(), "r");
        std::size_t workers = 0, residues = 0, rows = 0;
        double cpu = 0;
        if (!out || std::fscanf(out, "%zu %zu %zu %lf %lf %llu", &workers, &residues, &rows, &seconds[w - 1], &cpu,
                                &prints[w - 1]) != 6 || pclose(out) != 0) {
            std::fprintf(stderr, "child run with %zu workers failed\n", w);
            return 1;
        }
        std::printf("%zu worker(s): %zu residues -> %zu modified peptides, %.3f s wall (%.3f s CPU), "
                    "%.1f M residues/s, best of %d\n",
                    workers, residues, rows, seconds[w - 1], cpu, residues / seconds[w - 1] / 1e6, rounds);
    }
    std::printf("speed-up %.2fx; output %s\n", seconds[0] / seconds[1],
                prints[0] == prints[1] ? "identical" : "DIFFERENT between worker counts");
    return prints[0] == prints[1] ? 0 : 1;
}
