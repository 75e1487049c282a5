// Writes the seed corpus of the fuzzers: images of a few small valid data sets
// into <directory>/dataset_decode, their metadata texts into
// <directory>/metadata_read, spline-transform texts into
// <directory>/spline_transform_read and calibration texts into <directory>/calibration_read.
//
//   fuzz_make_seeds <directory>

#include "orvex/calibration/Calibration3D.h"
#include "orvex/core/Rect.h"
#include "orvex/core/RigidTransform.h"
#include "orvex/core/SplineTransform.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace orvex;

namespace {

// A planar area of rows x columns points with pixel and world coordinates,
// displacements and a blanking variable.
ZelData* makeArea(int rows, int columns, const std::string& title) {
    auto* area = new ZelData(columns, rows, 0, title);
    const std::vector<std::pair<ZelDataVariableType, const char*>> variables = {
        {PixelCoordinate, "x"},    {PixelCoordinate, "y"},     {GlobalCoordinate, "x_c"},
        {GlobalCoordinate, "y_c"}, {GlobalDisplacement, "u_c"}, {Correlation, "sigma"}};
    for (const auto& [type, name] : variables) {
        float* values = area->data(static_cast<std::size_t>(area->addVariable(type, name, name)));
        for (int p = 0; p < rows * columns; ++p)
            values[p] = static_cast<float>(p % columns) + 0.5f * static_cast<float>(p / columns);
    }
    return area;
}

// Stereo cameras of both models, an external camera, magnifications, residual errors
// and inverse mappings of camera 0.
Calibration3D seedCalibration() {
    CameraData pinhole;
    pinhole.cx = 800.5;
    pinhole.cy = 600.25;
    pinhole.fx = 2400.0;
    pinhole.fy = 2399.5;
    pinhole.numRadial = 2;
    pinhole.numTangential = 2;
    pinhole.radial[0] = -0.25;
    pinhole.tangential[1] = 0.001;
    CameraData vro = pinhole;
    vro.type = CameraType::VRO;
    vro.csType = VROSystemType(2);
    vro.vroFirst[0] = 0.05;
    vro.vroSecond[3] = 0.001;

    Calibration3D calibration;
    calibration.setCamera(0, Camera(pinhole), RigidTransform(Rotation(1.0, 2.0, 3.0, Rotation::Deg), {75.0, 0.0, 0.0}));
    calibration.setCamera(1, Camera(vro), RigidTransform(Rotation(-1.0, 8.0, 0.5, Rotation::Deg), {-75.0, 1.0, 2.0}));
    calibration.setCamera(-3, Camera(pinhole), RigidTransform());
    calibration.setMagnification(0, {0.5, 0.25, 1.0});
    calibration.setResidualError(1, 0.125f);
    const SplineTransform mapping(3, Rect(0.0, 0.0, 1600.0, 1200.0), 1, 1);
    calibration.setInverseMapping0(mapping, mapping);
    return calibration;
}

std::vector<std::unique_ptr<ZelDataSet>> seedSets() {
    std::vector<std::unique_ptr<ZelDataSet>> sets;
    sets.push_back(std::make_unique<ZelDataSet>()); // no areas

    auto single = std::make_unique<ZelDataSet>();
    single->addData(makeArea(2, 2, ""));
    single->setDeformed("def.tif");
    sets.push_back(std::move(single));

    auto full = std::make_unique<ZelDataSet>();
    full->addData(makeArea(2, 3, "Zone \xC3\x84"));
    full->addData(makeArea(3, 2, "\xE5\x8C\xBA"));
    full->setReference("ref.tif");
    full->setUserMetaData({1, 2, 3, 4});
    full->setStepSizeForAoi(0, 7);
    full->setSubsetSizeForAoi(1, 29);
    StrainVariableIds ids;
    ids.exx = 2;
    StrainComputationSettings settings;
    settings.windowSize = 15;
    full->setStrainVariablesAdditionalInfo({ids}, settings);
    full->setCalibration(seedCalibration());
    full->addTransformation(*RigidTransform::fromJson(nlohmann::json::parse("[1.0,2.0,3.0,4.0,5.0,6.0]")));
    sets.push_back(std::move(full));
    return sets;
}

// The JSON texts of a 1 × 1 and a 3 × 2 cubic transform, with varied coefficients.
std::vector<std::string> splineTransformTexts() {
    std::vector<std::string> texts;
    for (const auto& [nx, ny] : {std::pair{1, 1}, std::pair{3, 2}}) {
        SplineTransform transform(3, Rect(-2.0, 0.0, 30.0, 20.0), nx, ny);
        Array2<double>& u = transform.splineX().coefficients();
        Array2<double>& v = transform.splineY().coefficients();
        for (int i = 0; i < u.rows(); ++i)
            for (int j = 0; j < u.cols(); ++j) {
                u[i][j] = -2.0 + (i - 1) * 32.0 / nx + 0.1 * j;
                v[i][j] = (j - 1) * 20.0 / ny - 0.05 * i;
            }
        texts.push_back(transform.toJson().dump());
    }
    return texts;
}

bool writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    return !file.fail();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " <directory>\n";
        return 2;
    }
    const fs::path images = fs::path(argv[1]) / "dataset_decode";
    const fs::path texts = fs::path(argv[1]) / "metadata_read";
    const fs::path splineTexts = fs::path(argv[1]) / "spline_transform_read";
    const fs::path calibrations = fs::path(argv[1]) / "calibration_read";
    fs::create_directories(images);
    fs::create_directories(texts);
    fs::create_directories(splineTexts);
    fs::create_directories(calibrations);
    if (!writeFile(calibrations / "seed-0", seedCalibration().toJson().dump()) ||
        !writeFile(calibrations / "seed-1", "{}"))
        return 1;
    int index = 0;
    for (const auto& set : seedSets()) {
        std::size_t size = 0;
        const std::unique_ptr<char[]> image(set->encode(size, false));
        const std::string bytes(image.get(), size);
        const std::string name = "seed-" + std::to_string(index++);
        // The image ends with the metadata tag, the text length and the text.
        const std::size_t tag = bytes.rfind(std::string("\xA0\x00\x00\x05", 4));
        if (!writeFile(images / name, bytes) || !writeFile(texts / name, bytes.substr(tag + 8)))
            return 1;
    }
    index = 0;
    for (const std::string& text : splineTransformTexts())
        if (!writeFile(splineTexts / ("seed-" + std::to_string(index++)), text))
            return 1;
    return 0;
}
