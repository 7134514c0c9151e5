#include "analysis/LoopQualityReport.h"

#include <algorithm>
#include <cmath>

namespace quellon {

LoopQualityReport LoopQualityReport::evaluate(double brightness, double motion, double boundaryJump)
{
    LoopQualityReport report{brightness, motion, boundaryJump, {}};
    if (brightness < darkThreshold)
        report.hints.push_back(Hint::tooDark);
    if (motion < lowMotionThreshold)
        report.hints.push_back(Hint::lowMotion);
    if (boundaryJump > boundaryJumpThreshold)
        report.hints.push_back(Hint::largeBoundaryJump);
    return report;
}

LoopQualityReport LoopQualityReport::evaluate(double brightness, double motion, double boundaryJump, double seconds)
{
    LoopQualityReport report = evaluate(brightness, motion, boundaryJump);
    if (!(seconds >= shortestLoopSeconds - 1e-6))
        report.hints.push_back(Hint::tooShort);
    return report;
}

bool LoopQualityReport::isHealthy() const
{
    return hints.empty();
}

LoopQualityReport::Grade LoopQualityReport::grade() const
{
    if (hints.empty())
        return Grade::a;
    if (std::find(hints.begin(), hints.end(), Hint::tooShort) != hints.end())
        return Grade::c;
    return hints.size() == 1 ? Grade::b : Grade::c;
}

std::int64_t LoopQualityReport::score() const
{
    // fmin returns the other operand for a NaN, so a quotient that is not a number counts as 1.
    const double m = std::fmin(motion / 0.02, 1.0);
    const double b = std::fmin(brightness / 0.3, 1.0);
    const double j = std::fmin(boundaryJump / 0.3, 1.0);
    const double s = (1 - j) * 25 + (m * 35 + b * 40);
    return static_cast<std::int64_t>(std::round(s));
}

std::string_view LoopQualityReport::rawValue(Hint hint)
{
    switch (hint) {
    case Hint::tooDark: return "tooDark";
    case Hint::lowMotion: return "lowMotion";
    case Hint::largeBoundaryJump: return "largeBoundaryJump";
    case Hint::tooShort: return "tooShort";
    }
    return "tooDark";
}

std::string_view LoopQualityReport::message(Hint hint)
{
    switch (hint) {
    case Hint::tooDark:
        return "This loop looks dark \u2014 try better lighting for a more natural feel.";
    case Hint::lowMotion:
        return "Very little movement \u2014 the loop may look frozen. Blink and shift slightly while recording.";
    case Hint::largeBoundaryJump:
        return "The start and end differ a lot, so a Forward loop may show a visible jump. Ping-pong (the "
               "default) hides this, or trim to a steadier section.";
    case Hint::tooShort:
        return "This loop is shorter than 3 seconds, so its repeats are easy to notice. Record at least 3 "
               "seconds.";
    }
    return "";
}

std::optional<LoopQualityReport::Hint> LoopQualityReport::hintFromRawValue(std::string_view raw)
{
    for (Hint hint : allHints)
        if (rawValue(hint) == raw)
            return hint;
    return std::nullopt;
}

std::string_view LoopQualityReport::rawValue(Grade grade)
{
    switch (grade) {
    case Grade::a: return "A";
    case Grade::b: return "B";
    case Grade::c: return "C";
    }
    return "A";
}

std::string_view LoopQualityReport::title(Grade grade)
{
    switch (grade) {
    case Grade::a: return "Great loop";
    case Grade::b: return "Good loop";
    case Grade::c: return "Needs another take";
    }
    return "";
}

std::optional<LoopQualityReport::Grade> LoopQualityReport::gradeFromRawValue(std::string_view raw)
{
    for (Grade grade : allGrades)
        if (rawValue(grade) == raw)
            return grade;
    return std::nullopt;
}

} // namespace quellon
