#include "analysis/FrameSignature.h"

#include <cmath>

namespace quellon {

double signatureDistance(const FrameSignature& a, const FrameSignature& b)
{
    if (a.empty() || a.size() != b.size())
        return 0;
    double sum = 0;
    for (std::size_t k = 0; k < a.size(); ++k)
        sum += std::fabs(a[k] - b[k]);
    return sum / static_cast<double>(a.size());
}

} // namespace quellon
