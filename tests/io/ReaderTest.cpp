// The scan readers on files each test writes: formats, DICOM series assembly, refusals, the density rule.
#include <gdcmAttribute.h>
#include <gdcmImageWriter.h>
#include <gdcmReader.h>
#include <gdcmSequenceOfFragments.h>
#include <gdcmTrace.h>
#include <gdcmWriter.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "data/Data.h"
#include "io/Densities.h"
#include "io/Readers.h"
#include "support/Notifications.h"
#include "support/TestFiles.h"

namespace qz {
namespace {

using testing::nifti;
using testing::raw;

std::string gzipped(const std::string& bytes, const testing::TempDir& dir) {
    gzFile out = gzopen(dir.file("tmp.gz").c_str(), "wb");
    gzwrite(out, bytes.data(), unsigned(bytes.size()));
    gzclose(out);
    return testing::readFile(dir.file("tmp.gz"));
}

// One CT slice of 3 x 2 int16 pixels at height z in its own series.
void writeDicomSlice(const std::string& path, const std::string& series, double z,
                     std::vector<std::int16_t> pixels, bool undecodable = false) {
    gdcm::ImageWriter writer;
    gdcm::Image& image = writer.GetImage();
    image.SetNumberOfDimensions(2);
    image.SetDimension(0, 3);
    image.SetDimension(1, 2);
    image.SetPixelFormat(gdcm::PixelFormat(gdcm::PixelFormat::INT16));
    image.SetPhotometricInterpretation(gdcm::PhotometricInterpretation::MONOCHROME2);
    const double spacing[3] = {0.5, 0.75, 1.0}, origin[3] = {-3.0, 7.0, z}, cosines[6] = {1, 0, 0, 0, 1, 0};
    image.SetSpacing(spacing);
    image.SetOrigin(origin);
    image.SetDirectionCosines(cosines);
    image.SetIntercept(-1024.0);
    image.SetSlope(1.0);
    gdcm::DataElement pixelData(gdcm::Tag(0x7fe0, 0x0010));
    if (undecodable) {
        gdcm::SmartPointer<gdcm::SequenceOfFragments> fragments = new gdcm::SequenceOfFragments;
        gdcm::Fragment fragment;
        fragment.SetByteValue("not a JPEG", 10);
        fragments->AddFragment(fragment);
        pixelData.SetValue(*fragments);
        image.SetTransferSyntax(gdcm::TransferSyntax::JPEGBaselineProcess1);
    } else {
        pixelData.SetByteValue(reinterpret_cast<const char*>(pixels.data()),
                               std::uint32_t(2 * pixels.size()));
        image.SetTransferSyntax(gdcm::TransferSyntax::ExplicitVRLittleEndian);
    }
    image.SetDataElement(pixelData);
    gdcm::DataSet& ds = writer.GetFile().GetDataSet();
    ds.Replace(gdcm::Attribute<0x0008, 0x0016>{"1.2.840.10008.5.1.4.1.1.2"}.GetAsDataElement());
    ds.Replace(gdcm::Attribute<0x0008, 0x0060>{"CT"}.GetAsDataElement());
    ds.Replace(gdcm::Attribute<0x0020, 0x000e>{series.c_str()}.GetAsDataElement());
    writer.SetFileName(path.c_str());
    ASSERT_TRUE(writer.Write()) << path;
    // A 2-D image's writer drops the position's height: set it on the written file.
    gdcm::Reader reader;
    reader.SetFileName(path.c_str());
    ASSERT_TRUE(reader.Read());
    gdcm::Attribute<0x0020, 0x0032> position{{origin[0], origin[1], origin[2]}};
    reader.GetFile().GetDataSet().Replace(position.GetAsDataElement());
    gdcm::Writer rewrite;
    rewrite.SetFile(reader.GetFile());
    rewrite.SetFileName(path.c_str());
    ASSERT_TRUE(rewrite.Write());
}

class Readers : public ::testing::Test {
  protected:
    void SetUp() override {
        io::registerScanReaders();
        gdcm::Trace::SetWarning(false);
        testing::stdoutLines([&] { data.loadFromFileName(previous); });
    }
    std::vector<std::string> load(const std::string& path, const ReadOptions& options = {}) {
        log.clear();
        return testing::stdoutLines([&] { data.loadFromFileName(path, options); });
    }
    std::vector<int> densities() const {
        const auto v = data.volume();
        return std::vector<int>(v->densities(), v->densities() + v->sampleCount());
    }
    // A folder of CT slices at these heights (file names against the order), one series.
    std::string dicomSeries(const std::string& name, std::vector<double> heights) {
        std::filesystem::create_directories(dir.file(name));
        for (std::size_t k = 0; k < heights.size(); ++k) {
            const std::int16_t base = std::int16_t(1000 * k);
            writeDicomSlice(dir.file(name + "/" + std::to_string(heights.size() - k)), "1.2.3.4", heights[k],
                            {base, std::int16_t(base + 1), 0, 5000, 7, 8});
        }
        return dir.file(name);
    }

    testing::TempDir dir;
    NotificationCenter center;
    Data data{center};
    testing::NotificationLog log{center, {kDataLoadFailed}};
    std::string previous = dir.write("previous.dat", testing::volumeBytes(2, 1, 1, {100, 200}));
};

// 3 x 2 x 2 samples of each stored type.
const std::vector<std::int16_t> kShorts = {-100, -80, -60, -40, -20, 0, 20, 40, 60, 80, 100, 120};
const std::vector<std::uint16_t> kTwelveBit = {0, 4095, 7, 300, 2000, 1, 2, 3, 4, 5, 6, 4000};
const std::vector<float> kFloats = {0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f, 8.5f, 9.5f, 10.5f, 11.5f};
const std::vector<std::uint8_t> kBytes = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 255};

// floor((v - min) * 4095 / (max - min) + 0.5) over the volume.
template <class T>
std::vector<int> minToMax(const std::vector<T>& v) {
    const double lo = *std::min_element(v.begin(), v.end()), hi = *std::max_element(v.begin(), v.end());
    std::vector<int> d;
    for (T x : v)
        d.push_back(int(std::floor((x - lo) * 4095.0 / (hi - lo) + 0.5)));
    return d;
}

// NIfTI-1, NIfTI-2 gzipped, 12-bit NIfTI; NRRD attached and detached gzipped; MetaImage local and detached.
TEST_F(Readers, EveryFormatGivesItsGridSpacingAndDensities) {
    auto check = [&](const std::string& file, const std::string& bytes, std::array<double, 3> spacing,
                     const std::vector<int>& expected) {
        EXPECT_EQ(load(dir.write(file, bytes)), std::vector<std::string>{}) << file;
        EXPECT_EQ(data.filename(), dir.file(file)) << file;
        EXPECT_EQ(data.xDim() * 100 + data.yDim() * 10 + data.zDim(), 322) << file;
        EXPECT_EQ(data.volume()->spacing(), spacing) << file;
        EXPECT_EQ(densities(), expected) << file;
    };
    dir.write("e.raw.gz", gzipped(raw(kBytes), dir));
    dir.write("g.raw", raw(kBytes));
    const std::string nrrd = "NRRD0004\ndimension: 3\nsizes: 3 2 2\n", meta = "NDims = 3\nDimSize = 3 2 2\n";
    check("a.nii", nifti(1, {3, 2, 2}, 4, 16, {0.5, 0.5, 2}, raw(kShorts)), {0.5, 0.5, 2}, minToMax(kShorts));
    check("b.nii.gz", gzipped(nifti(2, {3, 2, 2}, 16, 32, {1, 1, 1}, raw(kFloats)), dir), {1, 1, 1},
          minToMax(kFloats));
    check("c.nii", nifti(1, {3, 2, 2}, 512, 16, {3, 3, 3}, raw(kTwelveBit)), {3, 3, 3},
          {kTwelveBit.begin(), kTwelveBit.end()});
    check("d.nrrd",
          nrrd + "type: short\nspacings: 0.7 0.7 1.4\nencoding: raw\nendian: little\n\n" + raw(kShorts),
          {0.7, 0.7, 1.4}, minToMax(kShorts));
    check("e.nhdr", nrrd + "type: uchar\nencoding: gzip\ndata file: e.raw.gz\n", {1, 1, 1}, minToMax(kBytes));
    check("f.mha",
          meta + "ElementType = MET_FLOAT\nElementSpacing = 2 2 2\nElementDataFile = LOCAL\n" + raw(kFloats),
          {2, 2, 2}, minToMax(kFloats));
    check("g.mhd", meta + "ElementType = MET_UCHAR\nElementSpacing = 1 1 3\nElementDataFile = g.raw\n",
          {1, 1, 3}, minToMax(kBytes));
}

TEST_F(Readers, DicomSeriesSortsByPositionAndGivesHounsfieldDensities) {
    const std::string folder = dicomSeries("ct", {4.0, 1.0, 2.5, 5.5});  // 1.5 mm apart, out of order
    writeDicomSlice(dir.file("ct/scout"), "9.9", 0.0, {0, 0, 0, 0, 0, 0});
    for (const std::string name : {"ct", "3"}) {  // the folder, or one file of it
        const std::string path = name == "ct" ? folder : folder + "/3";
        EXPECT_EQ(load(path), std::vector<std::string>{"Data:Warning: " + name +
                                                       ": 2 series found; showing (4 slices, UID 1.2.3.4)"});
        EXPECT_EQ(data.xDim() * 100 + data.yDim() * 10 + data.zDim(), 324);
        EXPECT_EQ(data.volume()->spacing(), (std::array<double, 3>{0.5, 0.75, 1.5}));
        // Slice k at 4, 1, 2.5, 5.5 mm holds 1000 k + (0, 1, 0, 5000, 7, 8) - 1024 HU; density = HU + 1024,
        // clamped.
        EXPECT_EQ(densities(), (std::vector<int>{1000, 1001, 0, 4095, 7, 8, 2000, 2001, 0, 4095, 7, 8,
                                                 0,    1,    0, 4095, 7, 8, 3000, 3001, 0, 4095, 7, 8}));
    }
    const std::vector<int> automatic = densities();  // a window on Hounsfield units, stored 0 .. 4095
    EXPECT_EQ(load(folder + "/1", {.useWindow = true, .window = {-1024.0, 3071.0}}).size(), 1u);
    EXPECT_EQ(densities(), automatic);
}

TEST_F(Readers, NotesForTheFirstOfSeveralVolumesAndNonFiniteSamples) {
    std::vector<float> floats = kFloats;
    floats[1] = std::numeric_limits<float>::quiet_NaN();
    floats[2] = -std::numeric_limits<float>::infinity();
    // (The NIfTI library itself reads non-finite floats as 0.)
    const std::string header =
        "NDims = 3\nDimSize = 3 2 2\nElementType = MET_FLOAT\nElementDataFile = LOCAL\n";
    EXPECT_EQ(load(dir.write("odd.mha", header + raw(floats))),
              (std::vector<std::string>{
                  "Data:Warning: odd.mha: 1 samples are NaN; they read as density 0",
                  "Data:Warning: odd.mha: 1 samples are infinite; they read as density 0 or 4095"}));
    EXPECT_EQ(densities()[1] + densities()[2], 0);
    EXPECT_EQ(densities()[11], 4095);
    std::vector<std::int16_t> three = kShorts;
    three.insert(three.end(), 24, 30000);
    EXPECT_EQ(load(dir.write("4d.nii", nifti(1, {3, 2, 2, 3}, 4, 16, {1, 1, 1}, raw(three)))),
              std::vector<std::string>{"Data:Warning: 4d.nii: holds 3 volumes; the first is shown"});
    EXPECT_EQ(densities(), minToMax(kShorts));
}

TEST_F(Readers, BrokenInputIsRefusedWithOneLineAndThePreviousVolumeStays) {
    std::filesystem::create_directories(dir.file("empty"));
    std::filesystem::create_directories(dir.file("text"));
    dir.write("text/notes.txt", "not an image");
    dicomSeries("missing", {0, 1, 3, 4});
    dicomSeries("twice", {0, 1, 1, 2});
    dicomSeries("uneven", {0, 1, 2.4, 3.4});
    std::filesystem::create_directories(dir.file("jpeg"));
    writeDicomSlice(dir.file("jpeg/1"), "1.2", 0.0, {}, true);
    const std::string whole = gzipped(nifti(1, {3, 2, 2}, 4, 16, {1, 1, 1}, raw(kShorts)), dir);
    const std::string cx = raw(std::vector<float>(24)),
                      nrrd = "NRRD0004\ntype: uchar\ndimension: 3\nsizes: 3 2 2\n";
    dir.write("c.nii", nifti(1, {3, 2, 2}, 32, 64, {1, 1, 1}, cx));
    dir.write("rgb.nii", nifti(1, {3, 2, 2}, 128, 24, {1, 1, 1}, cx));
    dir.write("wide.nii", nifti(2, {70000, 1, 1}, 2, 8, {1, 1, 1}, raw(std::vector<std::uint8_t>(70000))));
    dir.write("big.nii", nifti(2, {2, 1, 1, 1LL << 40, 1LL << 40}, 2, 8, {1, 1, 1}, "ab"));
    dir.write("cut.nii.gz", whole.substr(0, whole.size() - 12));
    dir.write("rgb.nrrd", nrrd + "kinds: RGB-color domain domain\nencoding: raw\n\n" + raw(kBytes));
    dir.write("short.nrrd", nrrd + "encoding: raw\n\nab");
    dir.write("short.mha",
              "NDims = 3\nDimSize = 3 2 2\nElementType = MET_UCHAR\nElementDataFile = LOCAL\nab");
    // Each refusal starts with the name of what was opened.
    for (const std::string problem : {
             "empty: no DICOM images in the folder",
             "text: no DICOM images in the folder",
             "missing: missing slices: a gap of 2 mm instead of 1 mm between 3 and 2",
             "twice: duplicated slice position between 2 and 3",
             "uneven: uneven slice gaps: 1.4 mm instead of 1 mm between 3 and 2",
             "jpeg: cannot decode the pixels of 1 (transfer syntax 1.2.840.10008.1.2.4.50)",
             "c.nii: complex samples cannot be shown as densities",
             "rgb.nii: colour (RGB) samples cannot be shown as densities",
             "wide.nii: dimension 1 is 70000 samples (1 .. 65535 load)",
             "big.nii: header sizes overflow",
             "cut.nii.gz: the file ends before its samples do (truncated or damaged)",
             "rgb.nrrd: samples with several components (colour, vector or complex) cannot be shown as "
             "densities",
             "short.nrrd: the samples cannot be read",
             "short.mha: the samples cannot be read",
         }) {
        const auto lines = load(dir.file(problem.substr(0, problem.find(':'))));
        ASSERT_EQ(lines.size(), 1u) << problem;
        EXPECT_EQ(lines[0].rfind("Data:Error: " + problem, 0), 0u) << lines[0];
        EXPECT_TRUE(log.entries().size() == 1 && log.entries()[0].info == lines[0])
            << problem;  // posted once
        EXPECT_EQ(data.filename(), previous) << problem;
    }
}

TEST(DensityRule, EachKindOfSampleMapsAsDocumented) {
    const std::vector<std::uint16_t> wide = {0, 8190};
    const std::vector<std::int16_t> hu = {-2000, -1024, 0, 3071, 3500};
    const std::vector<double> constant = {7.25, 7.25};
    std::vector<std::uint16_t> out(5);
    auto run = [&](const void* p, io::SampleType t, std::int64_t n, bool hounsfield, ReadOptions o = {}) {
        io::Samples s;
        s.data = p, s.type = t, s.count = n, s.hounsfield = hounsfield;
        io::toDensities(s, o, out.data());
        return std::vector<int>(out.begin(), out.begin() + n);
    };
    EXPECT_EQ(run(wide.data(), io::SampleType::UInt16, 2, false), (std::vector<int>{0, 4095}));
    EXPECT_EQ(run(hu.data(), io::SampleType::Int16, 5, true), (std::vector<int>{0, 0, 1024, 4095, 4095}));
    EXPECT_EQ(run(constant.data(), io::SampleType::Float64, 2, false), (std::vector<int>{0, 0}));
    ReadOptions w;
    w.useWindow = true;
    w.window = {-1000.0, 1000.0};
    EXPECT_EQ(run(hu.data(), io::SampleType::Int16, 5, true, w), (std::vector<int>{0, 0, 2048, 4095, 4095}));
}

}  // namespace
}  // namespace qz
