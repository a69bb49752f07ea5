// MGF: line-based. A strict reader can say which line and spectrum are
// wrong and notice a file cut off inside a spectrum. Keys outside any
// BEGIN IONS ... END IONS block are file-wide defaults.
#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "tamrel/spectrum_file.hpp"
#include "text_scan.hpp"

namespace tamrel {

namespace {

constexpr std::size_t kChunk = 1 << 20;

// The keys a search reads; every other key is accepted and ignored.
enum Key { kTitle, kPepmass, kCharge, kRtInSeconds, kIonMobility, kInverseIonMobility, kKeys };
constexpr std::array<std::string_view, kKeys> kKeyNames = {"TITLE", "PEPMASS", "CHARGE", "RTINSECONDS",
                                                           "ION_MOBILITY", "INVERSE_ION_MOBILITY"};

using Params = std::array<std::optional<std::string>, kKeys>;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_comment(char c) { return c == '#' || c == ';' || c == '!' || c == '/'; }

// The first `n` characters (not bytes) of UTF-8 text.
std::string_view first_chars(std::string_view s, std::size_t n) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && chars++ == n) return s.substr(0, i);
    }
    return s;
}

// A charge such as "2+" or "3"; 0 (search the configured range) when the text
// holds several candidate charges, none, zero or a negative one.
std::int64_t mgf_charge(std::string_view s) {
    std::size_t matches = 0;
    std::int64_t value = 0;
    bool negative = false;
    for (std::size_t i = 0; i < s.size();) {
        if (s[i] < '0' || s[i] > '9') {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        text::parse_int(s.substr(start, i - start), value);
        std::size_t j = i;
        while (j < s.size() && text::is_space(s[j])) ++j;
        // "2-" and "-2" alike
        negative = (j < s.size() && s[j] == '-') || (start > 0 && s[start - 1] == '-');
        i = j < s.size() && (s[j] == '+' || s[j] == '-') ? j + 1 : j;
        ++matches;
    }
    return matches == 1 && !negative ? value : 0;
}

class MgfFile final : public SpectrumFile {
public:
    MgfFile(std::unique_ptr<ByteSource> source, std::string head, const PeakSettings& settings)
        : SpectrumFile(std::move(source), std::move(head), settings) {}

    const char* format() const override { return "mgf"; }

    bool read(SpectrumColumns& out, std::size_t max_spectra) override {
        const std::size_t before = out.rows();
        std::string_view line;
        while (out.rows() - before < max_spectra && next_line(line)) {
            if (line_no_ == 1 && line.starts_with("\xef\xbb\xbf")) line.remove_prefix(3);  // some writers' byte order mark
            handle(text::strip(line), out);
        }
        if (done_) {
            if (in_spectrum_) {
                throw InputFailure(path() + ": truncated: spectrum " + quoted(title()) + " opened at line " +
                                   std::to_string(begin_line_) + " has no END IONS");
            }
            if (spectra_seen_ == 0) no_spectra();
        }
        return out.rows() > before;
    }

private:
    // Where the line at pos_ ends: its first '\r' or '\n', npos when the
    // buffer holds neither. Two vectorised scans per line rather than
    // find_first_of, which tests the byte set once per byte.
    std::size_t line_end() const {
        const char* from = buffer_.data() + pos_;
        const std::size_t left = buffer_.size() - pos_;
        const auto* newline = static_cast<const char*>(std::memchr(from, '\n', left));
        const std::size_t span = newline != nullptr ? static_cast<std::size_t>(newline - from) : left;
        const auto* cr = static_cast<const char*>(std::memchr(from, '\r', span));
        if (cr != nullptr) return pos_ + static_cast<std::size_t>(cr - from);
        return newline != nullptr ? pos_ + span : std::string::npos;
    }

    // The next line without its terminator; false at the end of the file.
    bool next_line(std::string_view& line) {
        for (;;) {
            const std::size_t end = line_end();
            // A '\r' at the end of the buffer may be the first half of "\r\n".
            if (end != std::string::npos && !(buffer_[end] == '\r' && end + 1 == buffer_.size() && !eof_)) {
                line = std::string_view(buffer_).substr(pos_, end - pos_);
                pos_ = end + (buffer_[end] == '\r' && end + 1 < buffer_.size() && buffer_[end + 1] == '\n' ? 2 : 1);
                ++line_no_;
                return true;
            }
            if (eof_) {
                if (pos_ == buffer_.size()) {
                    done_ = true;
                    return false;
                }
                line = std::string_view(buffer_).substr(pos_);
                pos_ = buffer_.size();
                ++line_no_;
                return true;
            }
            buffer_.erase(0, pos_);
            pos_ = 0;
            try {
                eof_ = !source_->read(buffer_, kChunk);
            } catch (const StreamFailure& e) {
                throw InputFailure(path() + ": truncated or corrupt file near line " + std::to_string(line_no_) +
                                   ": " + e.what());
            }
        }
    }

    // An empty TITLE names no spectrum, as a missing one does.
    std::string title() const {
        return params_[kTitle] && !params_[kTitle]->empty() ? *params_[kTitle] : "index=" + std::to_string(index_);
    }

    void handle(std::string_view line, SpectrumColumns& out) {
        if (line.empty() || is_comment(line.front())) return;
        if (text::equals_upper(line, "BEGIN IONS")) {
            if (in_spectrum_) {
                throw InputFailure(path() + ": line " + std::to_string(line_no_) +
                                   ": BEGIN IONS inside the spectrum opened at line " + std::to_string(begin_line_) +
                                   " (missing END IONS)");
            }
            in_spectrum_ = true;
            params_ = defaults_;
            begin_line_ = line_no_;
            ++index_;
            mz_.clear();
            intensity_.clear();
            bad_peak_.reset();
        } else if (text::equals_upper(line, "END IONS")) {
            if (!in_spectrum_) throw InputFailure(path() + ": line " + std::to_string(line_no_) + ": END IONS without BEGIN IONS");
            emit(out);
            in_spectrum_ = false;
        } else if (const std::size_t eq = is_digit(line.front()) ? std::string_view::npos : line.find('=');
                   eq != std::string_view::npos) {
            const std::string_view key = text::strip(line.substr(0, eq));
            for (std::size_t k = 0; k < kKeys; ++k) {
                if (text::equals_upper(key, kKeyNames[k])) {
                    (in_spectrum_ ? params_ : defaults_)[k] = std::string(text::strip(line.substr(eq + 1)));
                }
            }
        } else if (!in_spectrum_) {
            throw InputFailure(path() + ": line " + std::to_string(line_no_) +
                               ": unexpected text outside a spectrum: " + quoted(first_chars(line, 60)));
        } else if (decode_peaks_) {
            peak(line);
        }
    }

    void peak(std::string_view line) {
        std::size_t pos = 0;
        double mz = 0.0, intensity = 0.0;
        const bool ok = text::parse_double(text::next_field(line, pos), mz) &&
                        text::parse_double(text::next_field(line, pos), intensity);
        if (!ok) {
            if (!bad_peak_) bad_peak_ = std::string(first_chars(line, 60));
            return;
        }
        mz_.push_back(mz);
        intensity_.push_back(intensity);
    }

    void emit(SpectrumColumns& out) {
        SpectrumHeader h;
        h.id = title();
        const std::string where = path() + ": spectrum " + quoted(h.id) + " (line " + std::to_string(begin_line_) + ")";
        {
            std::string pepmass = params_[kPepmass].value_or("");
            for (char& c : pepmass) {
                if (c == ',') c = ' ';
            }
            std::size_t pos = 0;
            const std::string_view first = text::next_field(pepmass, pos);
            const std::string_view second = text::next_field(pepmass, pos);
            bool ok = !first.empty() && text::parse_double(first, h.precursor_mz);
            if (ok && !second.empty()) {
                ok = text::parse_double(second, h.precursor_intensity);
                h.present |= kHasPrecursorIntensity;
            }
            if (!ok) {
                throw InputFailure(where + ": missing or invalid PEPMASS " +
                                   (params_[kPepmass] ? quoted(*params_[kPepmass]) : std::string("None")));
            }
        }
        if (bad_peak_) throw InputFailure(where + ": invalid peak line " + quoted(*bad_peak_));
        const std::string rt = params_[kRtInSeconds].value_or("");
        const std::string mobility = params_[kIonMobility] && !params_[kIonMobility]->empty()
                                         ? *params_[kIonMobility]
                                         : params_[kInverseIonMobility].value_or("");
        bool ok = true;
        if (!rt.empty()) {
            // The first field, up to a '-' (a range such as "60-62" gives its start).
            std::size_t pos = 0;
            std::string_view start = text::next_field(rt, pos);
            start = start.substr(0, start.find('-'));
            ok = !start.empty() && text::parse_double(start, h.scan_start_time);
            h.scan_start_time /= 60.0;
        }
        if (ok && !mobility.empty()) {
            ok = text::parse_double(mobility, h.ion_mobility);
            h.present |= kHasIonMobility;
        }
        if (!ok) throw InputFailure(where + ": invalid RTINSECONDS or ION_MOBILITY");
        h.charge = mgf_charge(params_[kCharge].value_or(""));
        append_spectrum(out, h, mz_, intensity_, settings_);
        ++spectra_seen_;
    }

    bool eof_ = false, done_ = false, in_spectrum_ = false;
    std::size_t line_no_ = 0, begin_line_ = 0;
    std::int64_t index_ = -1;
    Params defaults_, params_;
    std::vector<double> mz_, intensity_;
    std::optional<std::string> bad_peak_;
};

}  // namespace

std::unique_ptr<SpectrumFile> open_mgf(std::unique_ptr<ByteSource> source, std::string head,
                                       const PeakSettings& settings) {
    return std::make_unique<MgfFile>(std::move(source), std::move(head), settings);
}

}  // namespace tamrel
