#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quellon {

/// How good a recorded loop is: its three metrics, the problems found in them, a letter grade
/// and a score from 0 to 100.
struct LoopQualityReport {
    /// A problem, in the order evaluate() looks for them. The raw values are the JSON form.
    enum class Hint { tooDark, lowMotion, largeBoundaryJump, tooShort };
    enum class Grade { a, b, c };

    static constexpr double darkThreshold = 0.12;
    static constexpr double lowMotionThreshold = 0.004;
    static constexpr double boundaryJumpThreshold = 0.18;
    /// A loop shorter than this repeats too often to pass for live (the shortest window the
    /// seam finder offers).
    static constexpr double shortestLoopSeconds = 3.0;

    double brightness = 0;   // mean luma, 0 (black) to 1 (white)
    double motion = 0;       // mean signature distance between consecutive frames
    double boundaryJump = 0; // signature distance between the first and the last frame
    std::vector<Hint> hints;

    bool operator==(const LoopQualityReport&) const = default;

    /// The report of the three metrics; every threshold is strict and NaN trips none.
    static LoopQualityReport evaluate(double brightness, double motion, double boundaryJump);
    /// The same for a loop of that many seconds: one shorter than shortestLoopSeconds (by more
    /// than a microsecond) also gets tooShort.
    static LoopQualityReport evaluate(double brightness, double motion, double boundaryJump, double seconds);

    /// No hints.
    bool isHealthy() const;
    /// A with no hints, B with one, C with more; a loop that is too short is always C, since
    /// no other quality makes up for it.
    Grade grade() const;
    /// Motion up to 35 points, brightness up to 40, a small seam up to 25; halves round away
    /// from zero. The stored values must give a finite sum (metrics from LoopMetrics do).
    std::int64_t score() const;

    static constexpr std::array<Hint, 4> allHints{Hint::tooDark, Hint::lowMotion, Hint::largeBoundaryJump,
                                                  Hint::tooShort};
    static constexpr std::array<Grade, 3> allGrades{Grade::a, Grade::b, Grade::c};

    static std::string_view rawValue(Hint hint);
    static std::string_view message(Hint hint);
    static std::optional<Hint> hintFromRawValue(std::string_view raw);
    static std::string_view rawValue(Grade grade);
    static std::string_view title(Grade grade);
    static std::optional<Grade> gradeFromRawValue(std::string_view raw);
};

} // namespace quellon
