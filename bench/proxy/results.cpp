#include "results.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace nimbra::bench {
namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

std::size_t indexOf(Figure figure) {
    return static_cast<std::size_t>(figure);
}

}  // namespace

FigureSet unmeasured() {
    FigureSet figures;
    figures.fill(kNone);
    return figures;
}

double& at(FigureSet& figures, Figure figure) {
    return figures[indexOf(figure)];
}

bool higherIsBetter(Figure figure) {
    return figure == Figure::bulkGbps || figure == Figure::tunnelsPerSecond ||
           figure == Figure::keepAliveRequestsPerSecond || figure == Figure::idleTunnelsOpened;
}

void Results::add(const std::string& configuration, const FigureSet& figures) {
    runs_[configuration].push_back(figures);
}

double Results::median(const std::string& configuration, Figure figure) const {
    const auto found = runs_.find(configuration);
    if (found == runs_.end()) return kNone;
    std::vector<double> values;
    for (const auto& run : found->second) {
        if (!std::isnan(run[indexOf(figure)])) values.push_back(run[indexOf(figure)]);
    }
    if (values.empty()) return kNone;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Results::best(const std::vector<Configuration>& configurations, Kind kind,
                     Figure figure) const {
    double best = kNone;
    for (const auto& configuration : configurations) {
        const double value =
            configuration.kind == kind ? median(configuration.name, figure) : kNone;
        if (std::isnan(value)) continue;
        const bool better = higherIsBetter(figure) ? value > best : value < best;
        if (std::isnan(best) || better) best = value;
    }
    return best;
}

}  // namespace nimbra::bench
