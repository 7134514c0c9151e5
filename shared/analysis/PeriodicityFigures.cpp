#include "analysis/PeriodicityFigures.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quellon::PeriodicityFigures {

namespace {

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

} // namespace

Thumbnail thumbnail(const std::uint8_t* plane, int width, int height, std::int64_t stride)
{
    if (!plane || width < kWidth || height < kHeight || stride < width)
        return {};
    Thumbnail cells(static_cast<std::size_t>(kWidth * kHeight), 0.0f);
    double total = 0;
    for (int cy = 0; cy < kHeight; ++cy) {
        const int y0 = cy * height / kHeight, y1 = (cy + 1) * height / kHeight;
        for (int cx = 0; cx < kWidth; ++cx) {
            const int x0 = cx * width / kWidth, x1 = (cx + 1) * width / kWidth;
            double sum = 0;
            for (int y = y0; y < y1; ++y) {
                const std::uint8_t* row = plane + static_cast<std::int64_t>(y) * stride;
                for (int x = x0; x < x1; ++x)
                    sum += row[x];
            }
            const double mean = sum / static_cast<double>((y1 - y0) * (x1 - x0));
            cells[static_cast<std::size_t>(cy * kWidth + cx)] = static_cast<float>(mean);
            total += mean;
        }
    }
    const auto mean = static_cast<float>(total / static_cast<double>(cells.size()));
    for (float& cell : cells)
        cell -= mean;
    return cells;
}

Figures measure(const std::vector<Thumbnail>& frames)
{
    const auto n = static_cast<std::int64_t>(frames.size());
    if (n < 2 * kMinSeparation + kMirrorWindow || frames.front().empty())
        return {};
    const std::size_t cells = frames.front().size();
    for (const auto& frame : frames)
        if (frame.size() != cells)
            return {};
    // Squared RMS differences of every pair: the three figures all read from this.
    std::vector<float> squared(static_cast<std::size_t>(n * n), 0.0f);
    for (std::int64_t i = 0; i < n; ++i)
        for (std::int64_t j = i + 1; j < n; ++j) {
            const float* a = frames[static_cast<std::size_t>(i)].data();
            const float* b = frames[static_cast<std::size_t>(j)].data();
            float sum = 0;
            for (std::size_t k = 0; k < cells; ++k)
                sum += (a[k] - b[k]) * (a[k] - b[k]);
            squared[static_cast<std::size_t>(i * n + j)] = squared[static_cast<std::size_t>(j * n + i)] =
                sum / static_cast<float>(cells);
        }
    auto d2 = [&](std::int64_t i, std::int64_t j) { return static_cast<double>(squared[static_cast<std::size_t>(i * n + j)]); };

    std::vector<double> steps;
    for (std::int64_t t = 0; t + 1 < n; ++t)
        steps.push_back(std::sqrt(d2(t, t + 1)));
    const double step = std::max(median(steps), 1e-12);

    Figures figures;
    std::vector<double> nearest;
    for (std::int64_t t = 0; t < n; ++t) {
        double best = std::numeric_limits<double>::infinity();
        for (std::int64_t u = 0; u < n; ++u)
            if (std::abs(t - u) > kMinSeparation)
                best = std::min(best, d2(t, u));
        nearest.push_back(std::sqrt(best));
    }
    figures.repeatRatio = median(nearest) / step;

    std::vector<double> lagMeans;
    for (std::int64_t lag = kMinSeparation; lag <= n / 2; ++lag) {
        double sum = 0;
        for (std::int64_t t = 0; t + lag < n; ++t)
            sum += std::sqrt(d2(t, t + lag));
        lagMeans.push_back(sum / static_cast<double>(n - lag));
    }
    const double typical = median(lagMeans);
    const auto smallest = std::min_element(lagMeans.begin(), lagMeans.end());
    figures.lagContrast = typical > 0 ? *smallest / typical : 0;
    figures.contrastLag = kMinSeparation + (smallest - lagMeans.begin());

    const std::int64_t half = kMirrorWindow / 2;
    std::vector<double> mirrored;
    for (std::int64_t t = half; t + half < n; ++t) {
        double best = std::numeric_limits<double>::infinity();
        for (std::int64_t u = half; u + half < n; ++u) {
            if (std::abs(t - u) <= kMinSeparation)
                continue;
            double sum = 0;
            for (std::int64_t k = -half; k <= half && sum < best; ++k)
                sum += d2(t + k, u - k);
            best = std::min(best, sum);
        }
        mirrored.push_back(std::sqrt(best));
    }
    figures.mirroredRatio = median(mirrored) / (step * std::sqrt(static_cast<double>(kMirrorWindow)));
    return figures;
}

} // namespace quellon::PeriodicityFigures
