#include "analysis/LoopMetrics.h"

namespace quellon::LoopMetrics {

double frameDifference(const FrameSignature& a, const FrameSignature& b)
{
    return signatureDistance(a, b);
}

double meanLuminance(const std::vector<double>& lumas)
{
    if (lumas.empty())
        return 0;
    double sum = 0;
    for (double luma : lumas)
        sum += luma;
    return sum / static_cast<double>(lumas.size());
}

double averageMotion(const std::vector<FrameSignature>& signatures)
{
    if (signatures.size() < 2)
        return 0;
    double sum = 0;
    for (std::size_t k = 1; k < signatures.size(); ++k)
        sum += frameDifference(signatures[k - 1], signatures[k]);
    return sum / static_cast<double>(signatures.size() - 1);
}

double boundaryJump(const std::vector<FrameSignature>& signatures)
{
    if (signatures.size() < 2)
        return 0;
    return frameDifference(signatures.front(), signatures.back());
}

} // namespace quellon::LoopMetrics
