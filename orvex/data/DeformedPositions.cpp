#include "orvex/data/DeformedPositions.h"

#include "orvex/data/ZelData.h"

#include <utility>

namespace orvex {

namespace {

const std::vector<DeformedAxis> StereoAxes = {
    {"Xp", "Xp[mm]", "X", "U"}, {"Yp", "Yp[mm]", "Y", "V"}, {"Zp", "Zp[mm]", "Z", "W"}};
const std::vector<DeformedAxis> PlanarWorldAxes = {{"Xp", "Xp", "x_c", "u_c"}, {"Yp", "Yp", "y_c", "v_c"}};
const std::vector<DeformedAxis> PlanarMatAxes = {{"Xp", "Xp", "X", "U"}, {"Yp", "Yp", "Y", "V"}};

} // namespace

const std::vector<DeformedAxis>& textDeformedAxes(CsDataSystemType type) {
    return type == Type3d ? StereoAxes : PlanarWorldAxes;
}

const std::vector<DeformedAxis>& matDeformedAxes(CsDataSystemType type) {
    return type == Type3d ? StereoAxes : PlanarMatAxes;
}

void addDeformedPositions(ZelData& area, const std::vector<DeformedAxis>& axes) {
    std::vector<int> added;
    for (const DeformedAxis& axis : axes)
        added.push_back(area.addVariable(GlobalCoordinate, axis.name, axis.description));
    std::vector<std::pair<const float*, const float*>> inputs;
    for (const DeformedAxis& axis : axes) {
        float* position = nullptr;
        float* displacement = nullptr;
        if (!area.findVariable(axis.position, position) || !area.findVariable(axis.displacement, displacement))
            return;
        inputs.emplace_back(position, displacement);
    }
    const int pointCount = area.matrixSize();
    for (std::size_t k = 0; k < axes.size(); ++k) {
        float* sums = area.data(static_cast<std::size_t>(added[k]));
        const auto [position, displacement] = inputs[k];
        for (int i = 0; i < pointCount; ++i)
            sums[i] = position[i] + displacement[i];
    }
}

ExportedArea::ExportedArea(const ZelData& area, const std::vector<DeformedAxis>* axes) : area_(&area) {
    if (!axes)
        return;
    copy_ = std::make_unique<ZelData>(area);
    addDeformedPositions(*copy_, *axes);
    area_ = copy_.get();
}

} // namespace orvex
