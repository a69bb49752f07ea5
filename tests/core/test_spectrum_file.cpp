#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tamrel/binary_array.hpp"
#include "tamrel/spectrum_file.hpp"

namespace tamrel {
namespace {

std::string write_temp(const std::string& name, const std::string& content, bool gzip = false) {
    const auto path = (std::filesystem::temp_directory_path() / ("tamrel_test_" + name)).string();
    if (gzip) {
        gzFile f = gzopen(path.c_str(), "wb");
        gzwrite(f, content.data(), static_cast<unsigned>(content.size()));
        gzclose(f);
    } else {
        std::ofstream(path, std::ios::binary) << content;
    }
    return path;
}

SpectrumColumns read_all(const std::string& path, std::size_t batch = 1000) {
    auto file = SpectrumFile::open(path, PeakSettings{});
    SpectrumColumns out;
    while (file->read(out, batch)) {
    }
    return out;
}

std::string failure_of(const std::string& path) {
    try {
        read_all(path);
    } catch (const InputFailure& e) {
        return e.what();
    }
    return "no failure";
}

const std::string kMgf =
    "CHARGE=3+\nBEGIN IONS\nTITLE=first\nPEPMASS=500.25 1000\nCHARGE=2+\nRTINSECONDS=90\n"
    "300.5 5\r\n200.25\t50\nEND IONS\nBEGIN IONS\nTITLE=second\nPEPMASS=600.3\n400.0 1.5 1+\nEND IONS\n";

class MgfBothWays : public ::testing::TestWithParam<bool> {};

TEST_P(MgfBothWays, DefaultsChargesAndPeaksInBatches) {
    const auto path = write_temp(GetParam() ? "a.mgf.gz" : "a.mgf", kMgf, GetParam());
    auto file = SpectrumFile::open(path, PeakSettings{});
    SpectrumColumns c;
    ASSERT_TRUE(file->read(c, 1));
    ASSERT_EQ(c.rows(), 1u);
    ASSERT_TRUE(file->read(c, 1));
    EXPECT_FALSE(file->read(c, 1));
    EXPECT_EQ(c.ids, "firstsecond");
    EXPECT_EQ(c.charge, (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(c.present, (std::vector<std::uint8_t>{kHasPrecursorIntensity, 0}));
    EXPECT_DOUBLE_EQ(c.scan_start_time[0], 1.5);
    EXPECT_EQ(c.peak_offsets, (std::vector<std::int64_t>{0, 2, 3}));
    EXPECT_EQ(c.mass[0], static_cast<float>(200.25 - static_cast<double>(std::bit_cast<float>(0x3F80EE6Fu))));
    EXPECT_EQ(c.intensity, (std::vector<float>{50.0f, 5.0f, 1.5f}));
    EXPECT_EQ(c.total_ion_current[0], 55.0f);
}

INSTANTIATE_TEST_SUITE_P(PlainAndGzip, MgfBothWays, ::testing::Bool());

TEST(SpectrumFile, FieldsAloneAndThenPeaksFromTheSameReader) {
    // The first spectrum read for its fields (its peak line unparsed, though bad), the second whole.
    std::string mgf = kMgf;
    mgf.replace(mgf.find("300.5 5"), 7, "300.5 x");
    auto file = SpectrumFile::open(write_temp("fields.mgf", mgf), PeakSettings{});
    SpectrumColumns c;
    file->decode_peaks(false);
    ASSERT_TRUE(file->read(c, 1));
    file->decode_peaks(true);
    ASSERT_TRUE(file->read(c, 1));
    EXPECT_EQ(c.ids, "firstsecond");
    EXPECT_EQ(c.charge, (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(c.peak_offsets, (std::vector<std::int64_t>{0, 0, 1}));
    EXPECT_EQ(c.total_ion_current, (std::vector<float>{0.0f, 1.5f}));
}

struct BadCase {
    const char* name;
    std::string content;
    std::string message;  // after "<path>: "
};

class BadFiles : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadFiles, NameTheFileAndSpectrum) {
    const auto path = write_temp(GetParam().name, GetParam().content);
    EXPECT_EQ(failure_of(path), path + ": " + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, BadFiles,
    ::testing::Values(
        BadCase{"cut.mgf", kMgf.substr(0, kMgf.find("400.0")),
                "truncated: spectrum 'second' opened at line 10 has no END IONS"},
        BadCase{"peak.mgf", "BEGIN IONS\nTITLE=x\nPEPMASS=5\n1 two\nEND IONS\n",
                "spectrum 'x' (line 1): invalid peak line '1 two'"},
        BadCase{"payload.mgf", "BEGIN IONS\rTITLE=x\rPEPMASS=5\r1 2\r\n1 nan(7)\rEND IONS\r",
                "spectrum 'x' (line 1): invalid peak line '1 nan(7)'"},
        BadCase{"charge.mgf", "BEGIN IONS\nPEPMASS=\nEND IONS\n",
                "spectrum 'index=0' (line 1): missing or invalid PEPMASS ''"},
        BadCase{"empty.mgf", "# nothing\n", "no MS2 spectra to search (the file holds only MS1 scans, or none)"},
        BadCase{"cut.mzML", "<mzML><run><spectrumList><spectrum id=\"s1\"><cvParam accession=\"MS:1000511\"",
                "truncated or corrupt mzML before the first spectrum: unexpected end of file inside <spectrum>"},
        BadCase{"crossed.mzML", "<mzML><run></mzML>",
                "truncated or corrupt mzML before the first spectrum: closing tag </mzML> does not match <run>"},
        BadCase{"lt.mzML", "<mzML><run <spectrumList>",
                "truncated or corrupt mzML before the first spectrum: unexpected '<' inside a tag"},
        BadCase{"quote.mzML", "<mzML><run id=\"r>",
                "truncated or corrupt mzML before the first spectrum: unexpected end of file inside <mzML>"},
        BadCase{"text.mzML", "hello\n", "not an mzML or MGF file (unrecognised content)"}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n) {
            if (ch == '.') ch = '_';
        }
        return n;
    });

std::string base64(const std::string& bytes) {
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
        out += a[(v >> 18) & 63];
        out += a[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? a[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? a[v & 63] : '=';
    }
    return out;
}

std::string array_xml(const std::string& kind, const std::string& bytes, bool compress, const char* type) {
    std::string data = bytes;
    if (compress) {
        uLongf n = compressBound(static_cast<uLong>(bytes.size()));
        data.resize(n);
        compress2(reinterpret_cast<Bytef*>(data.data()), &n, reinterpret_cast<const Bytef*>(bytes.data()),
                  static_cast<uLong>(bytes.size()), 6);
        data.resize(n);
    }
    return "<binaryDataArray><cvParam accession=\"" + kind + "\"/><cvParam accession=\"" + type +
           "\"/><cvParam accession=\"" + (compress ? "MS:1000574" : "MS:1000576") + "\"/><binary>" + base64(data) +
           "</binary></binaryDataArray>";
}

TEST(Mzml, GroupsCompressedArraysAndFirstParameterWins) {
    const double mz[] = {300.5, 200.25};
    const float intensity[] = {5.0f, 50.0f};
    const std::string xml =
        "\xef\xbb\xbf<?xml version=\"1.0\"?>\n<indexedmzML><mzML xmlns=\"http://psi.hupo.org/ms/mzml\">"
        "<referenceableParamGroupList><referenceableParamGroup id=\"g\"><cvParam accession=\"MS:1000511\" "
        "value=\"2\"/></referenceableParamGroup></referenceableParamGroupList><run><spectrumList>"
        "<spectrum id=\"scan=1 &amp; more\" note='a \"b\" > c' defaultArrayLength=\"2\"><referenceableParamGroupRef ref=\"g\"/>"
        "<cvParam accession=\"MS:1000511\" value=\"1\"/><!-- a comment with <tags> -->"
        "<scanList><scan><cvParam accession=\"MS:1000016\" value=\"1.5\" unitAccession=\"UO:0000031\"/></scan>"
        "</scanList><precursorList><precursor><selectedIonList><selectedIon>"
        "<cvParam accession=\"MS:1000744\" value=\"500.25\"/><cvParam accession=\"MS:1000633\" value=\"3\"/>"
        "</selectedIon></selectedIonList></precursor></precursorList><binaryDataArrayList>" +
        array_xml("MS:1000514", std::string(reinterpret_cast<const char*>(mz), sizeof mz), true, "MS:1000523") +
        array_xml("MS:1000515", std::string(reinterpret_cast<const char*>(intensity), sizeof intensity), false,
                  "MS:1000521") +
        "</binaryDataArrayList></spectrum></spectrumList></run></mzML><indexList/></indexedmzML>\n";
    const SpectrumColumns c = read_all(write_temp("g.mzML.gz", xml, true));
    ASSERT_EQ(c.rows(), 1u);
    EXPECT_EQ(c.ids, "scan=1 & more");
    EXPECT_EQ(c.charge[0], 3);
    EXPECT_DOUBLE_EQ(c.scan_start_time[0], 1.5);
    EXPECT_EQ(c.intensity, (std::vector<float>{50.0f, 5.0f}));
}

TEST(BinaryArray, Base64ErrorsAndNumberWidths) {
    std::string out;
    decode_base64("AAEC\nAw==", out);
    EXPECT_EQ(out, std::string("\x00\x01\x02\x03", 4));
    for (const char* bad : {"@@AA", "AAA", "A"}) {
        std::string ignored;
        EXPECT_THROW(decode_base64(bad, ignored), InputFailure) << bad;
    }
    std::vector<double> values;
    EXPECT_FALSE(widen_numbers(std::string(6, '\0'), NumberType::kFloat32, values));
    EXPECT_THROW(inflate_zlib("not zlib"), InputFailure);
}

TEST(PreparePeaks, CutKeepsLowerMzAmongEqualIntensitiesAndSumsPairwise) {
    const std::vector<double> mz = {400.0, 300.0, 200.0, 100.0};
    const std::vector<double> intensity = {2.0, 2.0, 9.0, 1e9};
    std::vector<float> mass, kept;
    PeakSettings settings;
    settings.max_peaks = 2;
    settings.min_mz = 150.0;
    EXPECT_EQ(prepare_peaks(mz, intensity, settings, mass, kept), 11.0f);
    EXPECT_EQ(kept, (std::vector<float>{9.0f, 2.0f}));
    EXPECT_EQ(mass[1], static_cast<float>(300.0 - static_cast<double>(std::bit_cast<float>(0x3F80EE6Fu))));
    // Eight accumulators summed as a tree, then the ninth value: 1 (in order: 2).
    const std::vector<double> nine = {1e16, 1.0, -1e16, 1.0, 0, 0, 0, 0, 1.0};
    EXPECT_EQ(pairwise_sum(nine), 1.0);
}

}  // namespace
}  // namespace tamrel
