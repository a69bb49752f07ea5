#include "tamrel/spectrum_file.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace tamrel {

namespace {

constexpr std::size_t kSniffBytes = 4096;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

bool ends_with_ci(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                      [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b); });
}

// A line holding only "BEGIN IONS" (surrounding whitespace allowed).
bool has_begin_ions_line(std::string_view head) {
    for (std::size_t at = head.find("BEGIN IONS"); at != std::string_view::npos;
         at = head.find("BEGIN IONS", at + 1)) {
        std::size_t before = at;
        while (before > 0 && is_space(head[before - 1]) && head[before - 1] != '\n') --before;
        if (before > 0 && head[before - 1] != '\n') continue;
        std::size_t after = at + 10;
        while (after < head.size() && is_space(head[after]) && head[after] != '\n') ++after;
        if (after == head.size() || head[after] == '\n') return true;
    }
    return false;
}

// "#..." or "KEY=" (upper-case letters and underscores) after leading whitespace.
bool starts_like_mgf(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    if (i < text.size() && text[i] == '#') return true;
    const std::size_t key = i;
    while (i < text.size() && ((text[i] >= 'A' && text[i] <= 'Z') || text[i] == '_')) ++i;
    return i > key && i < text.size() && text[i] == '=';
}

enum class Format { kMgf, kMzml, kUnknown };

Format sniff(std::string_view head, std::string_view path) {
    std::string_view text = head;
    // Any run of a byte order mark's bytes and line space, as the format's writers vary.
    while (!text.empty() && std::string_view("\xef\xbb\xbf \t\r\n").find(text.front()) != std::string_view::npos) {
        text.remove_prefix(1);
    }
    const bool tag = !text.empty() && text.front() == '<';
    if (tag && (head.find("<mzML") != std::string_view::npos || head.find("<indexedmzML") != std::string_view::npos)) {
        return Format::kMzml;
    }
    if (has_begin_ions_line(head) || starts_like_mgf(text)) return Format::kMgf;
    if (text.empty()) return Format::kUnknown;
    std::string_view name = path;
    if (ends_with_ci(name, ".gz")) name.remove_suffix(3);
    if (ends_with_ci(name, ".mgf")) return Format::kMgf;
    if (ends_with_ci(name, ".mzml") && tag) return Format::kMzml;
    return Format::kUnknown;
}

}  // namespace

std::unique_ptr<SpectrumFile> SpectrumFile::open(const std::string& path, const PeakSettings& settings) {
    auto source = std::make_unique<ByteSource>(path);
    std::string head;
    try {
        while (head.size() < kSniffBytes && source->read(head, kSniffBytes - head.size())) {
        }
    } catch (const StreamFailure& e) {
        const char* what = source->compressed() ? "truncated or corrupt compressed file" : "cannot read";
        throw InputFailure(path + ": " + what + ": " + e.what());
    }
    switch (sniff(head, path)) {
        case Format::kMgf: return open_mgf(std::move(source), std::move(head), settings);
        case Format::kMzml: return open_mzml(std::move(source), std::move(head), settings);
        case Format::kUnknown: break;
    }
    throw InputFailure(path + ": not an mzML or MGF file (unrecognised content)");
}

void SpectrumFile::no_spectra() const {
    throw InputFailure(path() + ": no MS2 spectra to search (the file holds only MS1 scans, or none)");
}

void append_spectrum(SpectrumColumns& out, const SpectrumHeader& h, std::span<const double> mz,
                     std::span<const double> intensity, const PeakSettings& settings) {
    const float tic = prepare_peaks(mz, intensity, settings, out.mass, out.intensity);
    out.ids.append(h.id);
    out.id_offsets.push_back(static_cast<std::int64_t>(out.ids.size()));
    out.scan_start_time.push_back(h.scan_start_time);
    out.precursor_mz.push_back(h.precursor_mz);
    out.charge.push_back(h.charge);
    out.precursor_intensity.push_back(h.precursor_intensity);
    out.window_lower.push_back(h.window_lower);
    out.window_upper.push_back(h.window_upper);
    out.ion_mobility.push_back(h.ion_mobility);
    out.present.push_back(h.present);
    out.total_ion_current.push_back(tic);
    out.peak_offsets.push_back(static_cast<std::int64_t>(out.mass.size()));
}

std::string quoted(std::string_view text) {
    const bool single = text.find('\'') == std::string_view::npos || text.find('"') != std::string_view::npos;
    const char quote = single ? '\'' : '"';
    std::string out(1, quote);
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == quote || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else {
            out += c;
        }
    }
    out += quote;
    return out;
}

}  // namespace tamrel
