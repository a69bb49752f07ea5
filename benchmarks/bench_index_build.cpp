// Index build benchmark: about one million synthetic tryptic peptides, decoys
// on, b and y ions, built with 1 worker and with 2.
//
//   cmake -S . -B build -G Ninja -DTAMREL_PYTHON=OFF -DTAMREL_BENCHMARKS=ON &&
//   ninja -C build bench_index_build && build/bench_index_build [peptides [rounds]]
//
// Each worker count runs in a child process of its own (the pool is sized once
// per process from RAYON_NUM_THREADS), so peak memory is measured cleanly too.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "synthetic.hpp"
#include "tamrel/radix_sort.hpp"

namespace {

// A field of /proc/self/status in bytes (VmRSS, VmHWM).
long long status_bytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1)) * 1024;
    }
    return -1;
}

// Resets the peak-RSS mark to the current RSS.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Builds `rounds` times from copies of the same peptides and reports the
// fastest round (other load on the machine only ever slows a round down) and
// the largest peak-memory growth.
int child(std::size_t peptide_count, int rounds) {
    tamrel::bench::ProteomeOptions options;
    options.peptides = peptide_count;
    const auto peptides = tamrel::bench::synthetic_peptides(options);
    const auto settings = tamrel::bench::search_settings();
    (void)tamrel::worker_count();  // start the pool outside the timing
    double best = 0, best_cpu = 0;
    long long growth = 0;
    std::size_t peptides_out = 0, fragments = 0;
    for (int round = 0; round < rounds; ++round) {
        tamrel::PeptideTable input(peptides);
        reset_peak();
        const long long before = status_bytes("VmRSS");
        const std::clock_t cpu_start = std::clock();
        const auto start = std::chrono::steady_clock::now();
        const tamrel::IndexedDatabase db = tamrel::build_indexed_database(settings, std::move(input));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
        growth = std::max(growth, status_bytes("VmHWM") - before);
        if (round == 0 || seconds < best) {
            best = seconds;
            best_cpu = cpu;
        }
        peptides_out = db.peptides.size();
        fragments = db.fragments.size();
    }
    std::printf("%zu %zu %zu %.6f %.6f %lld %zu\n", tamrel::worker_count(), peptides_out, fragments, best,
                best_cpu, growth, fragments * sizeof(tamrel::Theoretical));
    return 0;
}

struct Run {
    std::size_t workers = 0, peptides = 0, fragments = 0, fragment_bytes = 0;
    double seconds = 0, cpu = 0;
    long long growth = 0;
};

bool run_child(const std::string& self, std::size_t workers, std::size_t peptide_count, int rounds,
               Run& run) {
    const std::string command = "RAYON_NUM_THREADS=" + std::to_string(workers) + " '" + self + "' --child " +
                                std::to_string(peptide_count) + " " + std::to_string(rounds);
    FILE* out = popen(command.c_str(), "r");
    if (!out) return false;
    const int fields = std::fscanf(out, "%zu %zu %zu %lf %lf %lld %zu", &run.workers, &run.peptides,
                                   &run.fragments, &run.seconds, &run.cpu, &run.growth, &run.fragment_bytes);
    return pclose(out) == 0 && fields == 7;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--child") return child(std::stoul(argv[2]), std::stoi(argv[3]));
    const std::size_t peptide_count = argc >= 2 ? std::stoul(argv[1]) : 1'000'000;
    const int rounds = argc >= 3 ? std::max(1, std::stoi(argv[2])) : 3;
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) return 1;
    self[length] = '\0';

    Run runs[2];
    for (std::size_t w = 1; w <= 2; ++w) {
        if (!run_child(self, w, peptide_count, rounds, runs[w - 1])) {
            std::fprintf(stderr, "child run with %zu workers failed\n", w);
            return 1;
        }
    }
    const Run& one = runs[0];
    const Run& two = runs[1];
    std::printf("index build: %zu input peptides -> %zu peptides with decoys, %zu fragments (%.1f MiB), "
                "best of %d rounds\n",
                peptide_count, two.peptides, two.fragments, two.fragment_bytes / 1048576.0, rounds);
    for (const Run& r : runs) {
        std::printf("  %zu worker(s): %.3f s wall (%.3f s CPU), %.1f M fragments/s, "
                    "peak RSS growth %.1f MiB = %.2fx fragment array\n",
                    r.workers, r.seconds, r.cpu, r.fragments / r.seconds / 1e6, r.growth / 1048576.0,
                    static_cast<double>(r.growth) / static_cast<double>(r.fragment_bytes));
    }
    const double rate = two.fragments / two.seconds / 1e6;
    const double speedup = one.seconds / two.seconds;
    const double memory = static_cast<double>(two.growth) / static_cast<double>(two.fragment_bytes);
    std::printf("goals: %.1f M fragments/s with 2 workers (>= 15) %s; speed-up %.2fx (>= 1.6) %s; "
                "memory %.2fx (<= 3) %s\n",
                rate, rate >= 15 ? "met" : "MISSED", speedup, speedup >= 1.6 ? "met" : "MISSED", memory,
                memory <= 3 ? "met" : "MISSED");
    return 0;
}
