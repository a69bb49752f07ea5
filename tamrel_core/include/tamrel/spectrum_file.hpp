// Reading MS2 spectra from MGF and mzML files (plain or gzip-compressed) in
// batches, as columns ready to hand out as arrays. MS1 scans are skipped.
// Every problem with the file's content throws InputFailure naming the file
// and, where known, the spectrum.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tamrel/byte_source.hpp"
#include "tamrel/peaks.hpp"

namespace tamrel {

// A binary array in an encoding the native reader does not decode; the
// message is the encoding's accession. Callers may fall back to another reader.
class UnsupportedEncoding : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a spectrum file may leave out, as bits of SpectrumColumns::present.
enum SpectrumField : std::uint8_t {
    kHasPrecursorIntensity = 1,
    kHasIsolationWindow = 2,
    kHasIonMobility = 4,
    kProfile = 8,  // declared profile mode: its peaks are not centroids
};

// One row per spectrum; the peaks of spectrum i are
// [peak_offsets[i], peak_offsets[i + 1]) of `mass` and `intensity`.
struct SpectrumColumns {
    std::string ids;                          // UTF-8, concatenated
    std::vector<std::int64_t> id_offsets{0};  // size rows + 1
    std::vector<double> scan_start_time;      // minutes
    std::vector<double> precursor_mz;
    std::vector<std::int64_t> charge;         // 0: not given (search the configured range)
    std::vector<double> precursor_intensity;  // 0 when absent
    std::vector<double> window_lower;         // isolation window offsets in m/z, 0 when absent
    std::vector<double> window_upper;
    std::vector<double> ion_mobility;         // 0 when absent
    std::vector<std::uint8_t> present;        // SpectrumField bits
    std::vector<float> total_ion_current;
    std::vector<std::int64_t> peak_offsets{0};
    std::vector<float> mass;
    std::vector<float> intensity;

    std::size_t rows() const { return precursor_mz.size(); }
};

// The fields of one spectrum before its peaks are prepared.
struct SpectrumHeader {
    std::string id;
    double scan_start_time = 0.0;
    double precursor_mz = 0.0;
    std::int64_t charge = 0;
    double precursor_intensity = 0.0;
    double window_lower = 0.0, window_upper = 0.0;
    double ion_mobility = 0.0;
    std::uint8_t present = 0;
};

// Prepares the peaks and appends one row.
void append_spectrum(SpectrumColumns& out, const SpectrumHeader& header, std::span<const double> mz,
                     std::span<const double> intensity, const PeakSettings& settings);

class SpectrumFile {
public:
    // Opens `path` and recognises its format from the content (then the name).
    static std::unique_ptr<SpectrumFile> open(const std::string& path, const PeakSettings& settings);
    virtual ~SpectrumFile() = default;

    // Appends up to `max_spectra` spectra to `out`; false when the file is
    // exhausted and nothing was appended. A file that ends without any MS2
    // spectrum throws.
    virtual bool read(SpectrumColumns& out, std::size_t max_spectra) = 0;
    // Whether `read` decodes peaks (the default). Without, rows carry every
    // field but no peaks, and a fault in a spectrum's peaks goes unnoticed:
    // enough to count and name the spectra before a slice of the file.
    void decode_peaks(bool decode) { decode_peaks_ = decode; }
    virtual const char* format() const = 0;
    const std::string& path() const { return source_->path(); }

protected:
    SpectrumFile(std::unique_ptr<ByteSource> source, std::string head, const PeakSettings& settings)
        : source_(std::move(source)), buffer_(std::move(head)), settings_(settings) {}
    [[noreturn]] void no_spectra() const;

    std::unique_ptr<ByteSource> source_;
    std::string buffer_;  // content read but not yet consumed, from `pos_`
    std::size_t pos_ = 0;
    PeakSettings settings_;
    std::size_t spectra_seen_ = 0;
    bool decode_peaks_ = true;
};

std::unique_ptr<SpectrumFile> open_mgf(std::unique_ptr<ByteSource> source, std::string head,
                                       const PeakSettings& settings);
std::unique_ptr<SpectrumFile> open_mzml(std::unique_ptr<ByteSource> source, std::string head,
                                        const PeakSettings& settings);

// Python's repr() of a UTF-8 string, for messages that quote file content.
std::string quoted(std::string_view text);

}  // namespace tamrel
