// mzML: streamed one <spectrum> element at a time with a small tag scanner,
// so memory stays flat whatever the file size and no offset index is needed.
// Only what a search reads is kept: the MS level, the first precursor's
// parameters, the scan start time and ion mobility, and the m/z and intensity
// arrays (base64, optionally zlib-compressed, 32/64-bit floats or integers).
// Arrays in other encodings (MS-Numpress) throw UnsupportedEncoding.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "tamrel/binary_array.hpp"
#include "tamrel/spectrum_file.hpp"
#include "text_scan.hpp"

namespace tamrel {

namespace {

constexpr std::size_t kChunk = 1 << 20;

constexpr std::string_view kMsLevel = "MS:1000511", kScanStartTime = "MS:1000016", kSelectedMz = "MS:1000744",
                           kCharge = "MS:1000041", kPossibleCharge = "MS:1000633", kPeakIntensity = "MS:1000042",
                           kTargetMz = "MS:1000827", kLowerOffset = "MS:1000828", kUpperOffset = "MS:1000829",
                           kIonMobility = "MS:1002815", kMinute = "UO:0000031", kMzArray = "MS:1000514",
                           kIntensityArray = "MS:1000515", kZlib = "MS:1000574", kProfileSpectrum = "MS:1000128";

struct Param {
    std::string accession, value, unit;
    bool has_value = false, has_unit = false;
};

// A spectrum-level failure: the reason, reported with the spectrum's id.
struct BadSpectrum {
    std::string reason;
};

// Malformed or truncated markup: the reason, reported with the last good spectrum.
struct Malformed {
    std::string reason;
};

std::string python_float_error(std::string_view text) {
    return "could not convert string to float: " + quoted(text);
}

double to_double(const std::string& text) {
    double v = 0.0;
    if (!text::parse_double(text, v)) throw BadSpectrum{python_float_error(text)};
    return v;
}

std::int64_t to_int(const std::string& text) {
    std::int64_t v = 0;
    if (!text::parse_int(text, v)) throw BadSpectrum{"invalid literal for int() with base 10: " + quoted(text)};
    return v;
}

// Replaces the five predefined entities and character references.
std::string unescape(std::string_view s) {
    if (s.find('&') == std::string_view::npos) return std::string(s);
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '&') {
            out += s[i];
            continue;
        }
        const std::size_t semi = s.find(';', i);
        if (semi == std::string_view::npos) throw Malformed{"unterminated entity reference"};
        const std::string_view name = s.substr(i + 1, semi - i - 1);
        if (name == "lt") out += '<';
        else if (name == "gt") out += '>';
        else if (name == "amp") out += '&';
        else if (name == "quot") out += '"';
        else if (name == "apos") out += '\'';
        else if (!name.empty() && name[0] == '#') {
            const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
            unsigned long code = std::strtoul(std::string(name.substr(hex ? 2 : 1)).c_str(), nullptr, hex ? 16 : 10);
            if (code < 0x80) {
                out += static_cast<char>(code);
            } else if (code < 0x800) {
                out += static_cast<char>(0xC0 | (code >> 6));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else if (code < 0x10000) {
                out += static_cast<char>(0xE0 | (code >> 12));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (code >> 18));
                out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            }
        } else {
            throw Malformed{"undefined entity &" + std::string(name) + ";"};
        }
        i = semi;
    }
    return out;
}

// One start, end or empty-element tag.
struct Tag {
    std::string_view name;   // local name, without a namespace prefix
    std::string_view attrs;  // raw attribute text
    bool end = false, empty = false;

    std::optional<std::string> attr(std::string_view key) const {
        std::size_t i = 0;
        while (i < attrs.size()) {
            while (i < attrs.size() && text::is_space(attrs[i])) ++i;
            const std::size_t k0 = i;
            while (i < attrs.size() && attrs[i] != '=' && !text::is_space(attrs[i])) ++i;
            const std::string_view k = attrs.substr(k0, i - k0);
            while (i < attrs.size() && (text::is_space(attrs[i]) || attrs[i] == '=')) ++i;
            if (i >= attrs.size()) break;
            const char q = attrs[i];
            const std::size_t close = attrs.find(q, i + 1);
            if ((q != '"' && q != '\'') || close == std::string_view::npos) throw Malformed{"malformed attribute"};
            if (k == key) return unescape(attrs.substr(i + 1, close - i - 1));
            i = close + 1;
        }
        return std::nullopt;
    }
};

struct ArrayState {
    std::vector<Param> params;
    std::optional<std::string> length;
    std::string text;
    bool has_binary = false, in_binary = false;
};

struct SpectrumState {
    std::string id;
    std::optional<std::string> default_length;
    std::vector<Param> params;  // the first occurrence of an accession wins
    std::size_t depth = 0;      // open elements at the spectrum's start tag
    int precursor_list = 0;     // 0 none yet, 1 open (first one), 2 done
    bool has_precursor = false;
    int array_list = 0;         // the same states for the first binaryDataArrayList
    std::optional<ArrayState> array;
    std::vector<ArrayState> arrays;
};

const Param* find(const std::vector<Param>& params, std::string_view accession) {
    for (const Param& p : params) {
        if (p.accession == accession) return &p;
    }
    return nullptr;
}

void add_first(std::vector<Param>& params, const Param& p) {
    if (find(params, p.accession) == nullptr) params.push_back(p);
}

class MzmlFile final : public SpectrumFile {
public:
    MzmlFile(std::unique_ptr<ByteSource> source, std::string head, const PeakSettings& settings)
        : SpectrumFile(std::move(source), std::move(head), settings) {
        if (buffer_.starts_with("\xef\xbb\xbf")) pos_ = 3;
    }

    const char* format() const override { return "mzml"; }

    bool read(SpectrumColumns& out, std::size_t max_spectra) override {
        const std::size_t before = out.rows();
        try {
            while (out.rows() - before < max_spectra) {
                Tag tag;
                if (!next_tag(tag)) break;
                handle(tag, out);
            }
        } catch (const Malformed& e) {
            throw InputFailure(path() + ": truncated or corrupt mzML " + where() + ": " + e.reason);
        } catch (const StreamFailure& e) {
            throw InputFailure(path() + ": truncated or corrupt mzML " + where() + ": " + e.what());
        }
        if (done_ && spectra_seen_ == 0) no_spectra();
        return out.rows() > before;
    }

private:
    std::string where() const { return last_ ? "after spectrum " + quoted(*last_) : "before the first spectrum"; }

    bool refill() {
        if (eof_) return false;
        buffer_.erase(0, pos_);
        pos_ = 0;
        eof_ = !source_->read(buffer_, kChunk);
        return !eof_;
    }

    // Finds `needle` at or after `from` (an offset from pos_), reading more as needed.
    std::size_t find_ahead(std::string_view needle, std::size_t from) {
        for (;;) {
            const std::size_t at = buffer_.find(needle, pos_ + from);
            if (at != std::string::npos) return at - pos_;
            from = buffer_.size() - pos_ >= needle.size() ? buffer_.size() - pos_ - needle.size() + 1 : 0;
            if (!refill()) {
                throw Malformed{stack_.empty() ? "unexpected end of file inside markup"
                                               : "unexpected end of file inside <" + stack_.back() + ">"};
            }
        }
    }

    // The end of the tag starting at pos_ (offset of its '>'), quotes respected.
    std::size_t tag_end() {
        std::size_t i = 1;
        char quote = 0;
        for (;;) {
            const char* data = buffer_.data() + pos_;
            const std::size_t size = buffer_.size() - pos_;
            while (i < size) {
                if (quote) {  // an attribute's value: straight to its closing quote
                    const void* close = std::memchr(data + i, quote, size - i);
                    if (close == nullptr) {
                        i = size;
                        break;
                    }
                    i = static_cast<std::size_t>(static_cast<const char*>(close) - data) + 1;
                    quote = 0;
                    continue;
                }
                const char c = data[i];
                if (c == '>') return i;
                if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '<') {
                    throw Malformed{"unexpected '<' inside a tag"};
                }
                ++i;
            }
            if (!refill()) {
                throw Malformed{stack_.empty() ? "unexpected end of file inside a tag"
                                               : "unexpected end of file inside <" + stack_.back() + ">"};
            }
        }
    }

    // Character data up to the next '<', kept only inside <binary>.
    void text_until_tag() {
        for (;;) {
            const std::size_t lt = buffer_.find('<', pos_);
            const std::size_t stop = lt == std::string::npos ? buffer_.size() : lt;
            const std::string_view data(buffer_.data() + pos_, stop - pos_);
            if (capturing()) {
                spectrum_->array->text.append(data);
            } else if (stack_.empty() && !text::strip(data).empty()) {
                throw Malformed{"text outside the document element"};
            }
            pos_ = stop;
            if (lt != std::string::npos) return;
            if (!refill()) return;
        }
    }

    bool capturing() const { return decode_peaks_ && spectrum_ && spectrum_->array && spectrum_->array->in_binary; }

    bool next_tag(Tag& tag) {
        for (;;) {
            text_until_tag();
            if (pos_ >= buffer_.size()) {
                if (!stack_.empty()) throw Malformed{"unexpected end of file inside <" + stack_.back() + ">"};
                if (!seen_root_) throw Malformed{"no document element"};
                done_ = true;
                return false;
            }
            if (buffer_.size() - pos_ < 9) refill();
            const std::string_view rest(buffer_.data() + pos_, buffer_.size() - pos_);
            if (rest.starts_with("<!--")) {
                pos_ += find_ahead("-->", 4) + 3;
            } else if (rest.starts_with("<![CDATA[")) {
                const std::size_t end = find_ahead("]]>", 9);
                if (capturing()) spectrum_->array->text.append(buffer_, pos_ + 9, end - 9);
                pos_ += end + 3;
            } else if (rest.starts_with("<?")) {
                pos_ += find_ahead("?>", 2) + 2;
            } else if (rest.starts_with("<!")) {
                pos_ += tag_end() + 1;
            } else {
                const std::size_t end = tag_end();
                std::string_view body(buffer_.data() + pos_ + 1, end - 1);
                pos_ += end + 1;
                tag = Tag{};
                if (!body.empty() && body.front() == '/') {
                    tag.end = true;
                    body.remove_prefix(1);
                } else if (!body.empty() && body.back() == '/') {
                    tag.empty = true;
                    body.remove_suffix(1);
                }
                std::size_t n = 0;
                while (n < body.size() && !text::is_space(body[n])) ++n;
                std::string_view name = body.substr(0, n);
                if (name.empty()) throw Malformed{"a tag without a name"};
                const std::size_t colon = name.find(':');
                if (colon != std::string_view::npos) name.remove_prefix(colon + 1);
                tag.name = name;
                tag.attrs = body.substr(n);
                if (tag.end) {
                    if (stack_.empty() || stack_.back() != name) {
                        throw Malformed{"closing tag </" + std::string(name) + "> does not match " +
                                        (stack_.empty() ? std::string("any open tag") : "<" + stack_.back() + ">")};
                    }
                    stack_.pop_back();
                } else {
                    if (stack_.empty()) {
                        if (seen_root_) throw Malformed{"extra content at the end of the document"};
                        seen_root_ = true;
                    }
                    if (!tag.empty) stack_.emplace_back(name);
                }
                return true;
            }
        }
    }

    Param param_of(const Tag& tag) const {
        Param p;
        p.accession = tag.attr("accession").value_or("");
        if (auto v = tag.attr("value")) {
            p.value = std::move(*v);
            p.has_value = true;
        }
        if (auto u = tag.attr("unitAccession")) {
            p.unit = std::move(*u);
            p.has_unit = true;
        }
        return p;
    }

    // Parameters of a cvParam or of the group a referenceableParamGroupRef names.
    std::vector<Param> params_of(const Tag& tag) const {
        if (tag.name == "cvParam") return {param_of(tag)};
        auto it = groups_.find(tag.attr("ref").value_or(""));
        return it == groups_.end() ? std::vector<Param>{} : it->second;
    }

    void handle(const Tag& tag, SpectrumColumns& out) {
        if (!spectrum_) {
            if (tag.name == "referenceableParamGroup" && !tag.end) {
                group_ = tag.attr("id").value_or("");
                groups_[*group_].clear();
                if (tag.empty) group_.reset();
            } else if (tag.name == "referenceableParamGroup" && tag.end) {
                group_.reset();
            } else if (group_ && tag.name == "cvParam" && !tag.end && stack_.size() >= 1) {
                groups_[*group_].push_back(param_of(tag));
            } else if (tag.name == "spectrum" && !tag.end) {
                spectrum_.emplace();
                spectrum_->id = tag.attr("id").value_or("");
                if (spectrum_->id.empty()) spectrum_->id = tag.attr("index").value_or("");
                spectrum_->default_length = tag.attr("defaultArrayLength");
                spectrum_->depth = stack_.size() - (tag.empty ? 0 : 1);
                if (tag.empty) finish(out);
            }
            return;
        }
        SpectrumState& s = *spectrum_;
        // Depth of this element below the spectrum element (1: a direct child).
        const std::size_t level = stack_.size() - (tag.end || tag.empty ? 0 : 1) - s.depth;
        if (tag.end && tag.name == "spectrum" && level == 0) {
            finish(out);
            return;
        }
        if (!tag.end && (tag.name == "cvParam" || tag.name == "referenceableParamGroupRef")) {
            for (const Param& p : params_of(tag)) {
                add_first(s.params, p);
                if (s.array && level == 3) s.array->params.push_back(p);
            }
        }
        if (tag.name == "precursorList" && level == 1 && s.precursor_list < 2) {
            s.precursor_list = tag.end || tag.empty ? 2 : 1;
        } else if (s.precursor_list == 1 && level == 2 && !tag.end) {
            s.has_precursor = true;
        } else if (tag.name == "binaryDataArrayList" && level == 1 && s.array_list < 2) {
            s.array_list = tag.end || tag.empty ? 2 : 1;
        } else if (s.array_list == 1 && level == 2 && tag.name == "binaryDataArray") {
            if (!tag.end) {
                s.array.emplace();
                s.array->length = tag.attr("arrayLength");
            }
            if (tag.end || tag.empty) {
                s.arrays.push_back(std::move(*s.array));
                s.array.reset();
            }
        } else if (s.array && level == 3 && tag.name == "binary") {
            if (!tag.end && !s.array->has_binary) {
                s.array->has_binary = true;
                s.array->in_binary = !tag.empty;
            } else if (tag.end) {
                s.array->in_binary = false;
            }
        } else if (s.array && s.array->in_binary && !tag.end) {
            s.array->in_binary = false;  // child elements end the text lxml reports
        }
    }

    void finish(SpectrumColumns& out) {
        SpectrumState s = std::move(*spectrum_);
        spectrum_.reset();
        try {
            convert(s, out);
        } catch (const BadSpectrum& e) {
            throw InputFailure(path() + ": spectrum " + quoted(s.id) + ": " + e.reason);
        }
        last_ = s.id;
    }

    void decode(const ArrayState& a, std::int64_t expected, std::vector<double>& mz, std::vector<double>& intensity,
                bool& have_mz, bool& have_intensity) {
        int kind = 0;  // 1: m/z, 2: intensity
        std::optional<NumberType> type;
        bool zlib = false;
        for (const Param& p : a.params) {
            const std::string& acc = p.accession;
            if (acc == kMzArray) kind = 1;
            else if (acc == kIntensityArray) kind = 2;
            else if (acc == "MS:1000521") type = NumberType::kFloat32;
            else if (acc == "MS:1000523") type = NumberType::kFloat64;
            else if (acc == "MS:1000519") type = NumberType::kInt32;
            else if (acc == "MS:1000522") type = NumberType::kInt64;
            else if (acc == "MS:1000576") zlib = false;
            else if (acc == kZlib) zlib = true;
            else if (acc.starts_with("MS:100231") || acc.starts_with("MS:100274")) throw UnsupportedEncoding(acc);
        }
        if (kind == 0 || !decode_peaks_) return;
        if (!type) throw BadSpectrum{"binary array without a numeric type"};
        std::string raw;
        try {
            decode_base64(a.text, raw);
            if (zlib && !raw.empty()) raw = inflate_zlib(raw);
        } catch (const InputFailure& e) {
            throw BadSpectrum{e.what()};
        }
        std::vector<double> values;
        if (!widen_numbers(raw, *type, values)) {
            throw BadSpectrum{"binary array length is not a multiple of its element size"};
        }
        const std::int64_t declared = a.length ? to_int(*a.length) : expected;
        if (static_cast<std::int64_t>(values.size()) != declared) {
            throw BadSpectrum{"array holds " + std::to_string(values.size()) + " values, the spectrum declares " +
                              std::to_string(expected)};
        }
        bool& have = kind == 1 ? have_mz : have_intensity;
        if (!have) {
            (kind == 1 ? mz : intensity) = std::move(values);
            have = true;
        }
    }

    void convert(const SpectrumState& s, SpectrumColumns& out) {
        const std::int64_t expected = to_int(s.default_length.value_or("0"));
        const Param* level_param = find(s.params, kMsLevel);
        const std::int64_t level =
            level_param && level_param->has_value ? to_int(level_param->value) : (s.has_precursor ? 2 : 1);
        if (level != 2 || !s.has_precursor) return;  // the arrays of a scan not searched are not decoded
        std::vector<double> mz, intensity;
        bool have_mz = false, have_intensity = false;
        for (const ArrayState& a : s.arrays) decode(a, expected, mz, intensity, have_mz, have_intensity);

        auto value = [&](std::string_view acc) -> const std::string* {
            const Param* p = find(s.params, acc);
            return p && p->has_value ? &p->value : nullptr;
        };
        auto given = [&](std::string_view acc) {
            const std::string* v = value(acc);
            return v && !v->empty() ? v : nullptr;
        };
        SpectrumHeader h;
        h.id = s.id;
        if (const std::string* rt = given(kScanStartTime)) {
            const Param* p = find(s.params, kScanStartTime);
            h.scan_start_time = to_double(*rt) * (p->has_unit && p->unit == kMinute ? 1.0 : 1.0 / 60.0);
        }
        const std::string* mz_text = given(kSelectedMz) ? given(kSelectedMz) : value(kTargetMz);
        if (mz_text == nullptr) throw BadSpectrum{"MS2 spectrum without a precursor m/z"};
        if (mz.size() != intensity.size()) {
            throw BadSpectrum{"m/z array (" + std::to_string(mz.size()) + " values) and intensity array (" +
                              std::to_string(intensity.size()) + " values) differ in length"};
        }
        const std::string* charge = value(kCharge) ? value(kCharge) : value(kPossibleCharge);
        if (charge && !charge->empty()) {
            const double c = to_double(*charge);
            if (std::isnan(c)) throw BadSpectrum{"cannot convert float NaN to integer"};
            if (std::isinf(c)) throw BadSpectrum{"cannot convert float infinity to integer"};
            if (c != std::trunc(c)) throw BadSpectrum{"invalid charge " + quoted(*charge)};  // not cut to 2 from 2.5
            h.charge = std::abs(c) >= 9.2e18 ? (c < 0 ? INT64_MIN : INT64_MAX) : static_cast<std::int64_t>(c);
        }
        h.precursor_mz = to_double(*mz_text);
        if (const std::string* v = given(kPeakIntensity)) {
            h.precursor_intensity = to_double(*v);
            h.present |= kHasPrecursorIntensity;
        }
        const std::string *lower = given(kLowerOffset), *upper = given(kUpperOffset);
        if (lower && upper) {
            h.window_lower = to_double(*lower);
            h.window_upper = to_double(*upper);
            h.present |= kHasIsolationWindow;
        }
        if (const std::string* v = given(kIonMobility)) {
            h.ion_mobility = to_double(*v);
            h.present |= kHasIonMobility;
        }
        if (find(s.params, kProfileSpectrum) != nullptr) h.present |= kProfile;
        append_spectrum(out, h, mz, intensity, settings_);
        ++spectra_seen_;
    }

    bool eof_ = false, done_ = false, seen_root_ = false;
    std::vector<std::string> stack_;
    std::unordered_map<std::string, std::vector<Param>> groups_;
    std::optional<std::string> group_;
    std::optional<SpectrumState> spectrum_;
    std::optional<std::string> last_;
};

}  // namespace

std::unique_ptr<SpectrumFile> open_mzml(std::unique_ptr<ByteSource> source, std::string head,
                                        const PeakSettings& settings) {
    return std::make_unique<MzmlFile>(std::move(source), std::move(head), settings);
}

}  // namespace tamrel
