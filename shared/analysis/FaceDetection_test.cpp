// Faces, roll and eyes found by the dlib detector on a real photograph.

#include "analysis/DlibFaceDetector.h"
#include "analysis/LoopClipAnalysis.h"
#include "analysis/LoopEntry.h"
#include "analysis/LoopEyeOpenness.h"

#include "analysis/AnalysisTestImages.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "playback/YuvFrames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>

namespace quellon {
namespace {

using LoopEntry::FaceGeometry;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
const cv::Scalar kBackdrop(90, 110, 120, 255);
/// Where the astronaut's face is in the 512 × 512 photograph, as dlib's boxes place it.
const cv::Rect2d kFaceInPhoto(175, 75, 102, 102);

cv::Mat withEyesShut(const cv::Mat& canvas);

class FaceDetection : public ::testing::Test {
protected:
    void SetUp() override
    {
        photo_ = testing::astronaut();
        ASSERT_FALSE(photo_.empty()) << "python3-skimage's astronaut.png is missing";
    }

    /// Draws the photo scaled to side × side pixels with its top left corner at (x, y).
    void place(cv::Mat& canvas, int side, int x, int y) const
    {
        cv::Mat scaled;
        cv::resize(photo_, scaled, cv::Size(side, side), 0, 0, cv::INTER_AREA);
        const cv::Rect target = cv::Rect(x, y, side, side) & cv::Rect(0, 0, canvas.cols, canvas.rows);
        scaled(cv::Rect(target.x - x, target.y - y, target.width, target.height)).copyTo(canvas(target));
    }

    cv::Mat canvasWith(int side, int x, int y) const
    {
        cv::Mat canvas(kHeight, kWidth, CV_8UC4, kBackdrop);
        place(canvas, side, x, y);
        return canvas;
    }

    /// The face's box on the canvas for a placement, normalised with the origin at the lower left.
    static NormalizedRect expectedBox(int side, int x, int y)
    {
        const double s = side / 512.0;
        const double top = y + kFaceInPhoto.y * s;
        const double height = kFaceInPhoto.height * s;
        return {(x + kFaceInPhoto.x * s) / kWidth, 1 - (top + height) / kHeight, kFaceInPhoto.width * s / kWidth,
                height / kHeight};
    }

    static void expectNear(const NormalizedRect& box, const NormalizedRect& expected, const char* name)
    {
        EXPECT_NEAR(box.midX(), expected.midX(), 0.02) << name;
        EXPECT_NEAR(box.midY(), expected.midY(), 0.03) << name;
        // dlib's box sizes come in steps of the scan pyramid (5/6).
        EXPECT_NEAR(box.width / expected.width, 1.0, 0.2) << name;
        EXPECT_NEAR(box.height / expected.height, 1.0, 0.2) << name;
    }

    cv::Mat photo_;
};

TEST_F(FaceDetection, FindsTheFaceWhereItIsFromAThirdOfTheFrameUp)
{
    const struct { const char* name; int side, x, y; } cases[] = {
        {"face a third of the frame tall", 1205, 60, -100},
        {"face a third of the frame tall, at the right", 1205, 500, -140},
        {"face half the frame tall, cut off below", 1800, -200, -250},
    };
    for (const auto& c : cases) {
        const auto face = LoopEntry::faceGeometry(*testing::frameOf(canvasWith(c.side, c.x, c.y)));
        ASSERT_TRUE(face) << c.name;
        expectNear(face->box, expectedBox(c.side, c.x, c.y), c.name);
        EXPECT_FALSE(face->roll) << c.name; // measured only with landmarks
    }
}

TEST_F(FaceDetection, FindsFacesAtLaptopFramingWithTheirEyesAndRoll)
{
    // The astronaut cut out in front of a wall, her face from 15 % to 35 % of the frame height.
    for (double share : {0.15, 0.2, 0.25, 0.35}) {
        const testing::PersonScene scene(cv::Size(kWidth, kHeight), share);
        ASSERT_FALSE(scene.empty()) << "python3-skimage's photographs are missing";
        const cv::Mat open = scene.frame();
        const auto faces = threadFaceDetector().detect(*testing::frameOf(open), FaceDetector::Detail::landmarks);
        ASSERT_TRUE(faces) << share;
        ASSERT_EQ(faces->size(), 1u) << share;
        expectNear(faces->front().boundingBox, scene.face(), "face");
        ASSERT_TRUE(faces->front().roll) << share;
        EXPECT_NEAR(*faces->front().roll, 0.0, 0.1) << share;
        // A loop's J420 frame is read by its luma: the same face, roll and eyes.
        const PixelBufferRef compact = YuvFrames::compact(testing::frameOf(open));
        ASSERT_TRUE(compact && compact->isJ420());
        const auto fromLuma = threadFaceDetector().detect(*compact, FaceDetector::Detail::landmarks);
        ASSERT_TRUE(fromLuma) << share;
        ASSERT_EQ(fromLuma->size(), 1u) << share;
        expectNear(fromLuma->front().boundingBox, faces->front().boundingBox, "face in J420");
        ASSERT_TRUE(fromLuma->front().roll) << share;
        EXPECT_NEAR(*fromLuma->front().roll, *faces->front().roll, 0.02) << share;
        EXPECT_EQ(LoopEyeOpenness::eyesClosed(*testing::frameOf(open)), false) << share;
        const cv::Mat shut = withEyesShut(open);
        ASSERT_FALSE(shut.empty()) << share;
        EXPECT_EQ(LoopEyeOpenness::eyesClosed(*testing::frameOf(shut)), true) << share;

        // The seam's eye test judges the clip analysis' small grey copies: still large enough.
        LoopClipAnalysis analysis;
        analysis.add(*testing::frameOf(open), 0);
        analysis.add(*testing::frameOf(shut), 1.0 / 30);
        ASSERT_TRUE(analysis.eyeFrame(0) && analysis.eyeFrame(1));
        EXPECT_EQ(analysis.eyeFrame(0)->height(), LoopClipAnalysis::kEyeFrameShortSide); // reduced from 720 lines
        EXPECT_EQ(LoopEyeOpenness::eyesClosed(*analysis.eyeFrame(0)), false) << "grey copy, " << share;
        EXPECT_EQ(LoopEyeOpenness::eyesClosed(*analysis.eyeFrame(1)), true) << "grey copy, " << share;
    }
}

TEST_F(FaceDetection, ANearSearchFindsTheFaceThatMovedAndNobodyElsewhere)
{
    for (double share : {0.15, 0.25, 0.35}) {
        const testing::PersonScene scene(cv::Size(kWidth, kHeight), share);
        ASSERT_FALSE(scene.empty());
        // The face 40 px right of where a neighbouring frame had it.
        const auto frame = testing::frameOf(scene.frame(40));
        const auto faces = threadFaceDetector().detectNear(*frame, scene.face(), FaceDetector::Detail::rectangles);
        ASSERT_TRUE(faces) << share;
        ASSERT_EQ(faces->size(), 1u) << share;
        expectNear(faces->front().boundingBox, scene.face(40), "face near");
        // Looking at the far side of the picture finds nobody.
        NormalizedRect elsewhere = scene.face();
        elsewhere.x = elsewhere.x > 0.5 ? 0.02 : 0.98 - elsewhere.width;
        elsewhere.width = elsewhere.height = 0.12;
        EXPECT_EQ(threadFaceDetector().detectNear(*frame, elsewhere, FaceDetector::Detail::rectangles),
                  std::vector<FaceObservation>{})
            << share;
    }
}

TEST_F(FaceDetection, SmallFramesAreEnlargedForSmallFaces)
{
    // 240 lines: a face 20 % of the height is 48 px, found only on the enlarged scan.
    const testing::PersonScene scene(cv::Size(427, 240), 0.2);
    ASSERT_FALSE(scene.empty());
    const auto faces = threadFaceDetector().detect(*testing::frameOf(scene.frame()), FaceDetector::Detail::rectangles);
    ASSERT_TRUE(faces);
    ASSERT_EQ(faces->size(), 1u);
    expectNear(faces->front().boundingBox, scene.face(), "face on 240 lines");
}

TEST_F(FaceDetection, TheLargestOfTwoFacesWins)
{
    // The copy further left is drawn first; the other lies over it, clear of its face.
    const struct { const char* name; int smallX, smallY, largeX, largeY; } cases[] = {
        {"larger on the right", -400, -100, 296, -200},
        {"larger on the left", 618, -100, -600, -200},
    };
    for (const auto& c : cases) {
        cv::Mat canvas(kHeight, kWidth, CV_8UC4, kBackdrop);
        if (c.smallX < c.largeX) {
            place(canvas, 1205, c.smallX, c.smallY);
            place(canvas, 1800, c.largeX, c.largeY);
        } else {
            place(canvas, 1800, c.largeX, c.largeY);
            place(canvas, 1205, c.smallX, c.smallY);
        }
        const auto frame = testing::frameOf(canvas);
        const auto faces = threadFaceDetector().detect(*frame, FaceDetector::Detail::rectangles);
        ASSERT_TRUE(faces);
        ASSERT_EQ(faces->size(), 2u) << c.name;
        const auto face = LoopEntry::faceGeometry(*frame);
        ASSERT_TRUE(face) << c.name;
        expectNear(face->box, expectedBox(1800, c.largeX, c.largeY), c.name);
    }
}

TEST_F(FaceDetection, RollIsCounterClockwisePositive)
{
    const cv::Mat upright = canvasWith(1300, 60, -120);
    const NormalizedRect box = expectedBox(1300, 60, -120);
    const cv::Point2f centre(static_cast<float>(box.midX() * kWidth), static_cast<float>((1 - box.midY()) * kHeight));
    for (double degrees : {-12.0, 12.0}) {
        cv::Mat turned;
        // OpenCV's positive angles turn the picture counter-clockwise as it is seen.
        cv::warpAffine(upright, turned, cv::getRotationMatrix2D(centre, degrees, 1.0), upright.size(), cv::INTER_LINEAR,
                       cv::BORDER_CONSTANT, kBackdrop);
        const auto level = threadFaceDetector().detect(*testing::frameOf(upright), FaceDetector::Detail::landmarks);
        const auto tilted = threadFaceDetector().detect(*testing::frameOf(turned), FaceDetector::Detail::landmarks);
        ASSERT_TRUE(level && level->size() == 1 && tilted && tilted->size() == 1) << degrees;
        const auto levelRoll = level->front().roll, tiltedRoll = tilted->front().roll;
        ASSERT_TRUE(levelRoll && tiltedRoll) << degrees;
        EXPECT_NEAR(*levelRoll, 0.0, 0.1); // she holds her head almost level
        EXPECT_NEAR(*tiltedRoll - *levelRoll, degrees * CV_PI / 180, 0.06) << degrees;
    }
}

/// The photo with each eye pressed vertically into its centre line, the space around filled
/// with the skin below it: a closed eye.
cv::Mat withEyesShut(const cv::Mat& canvas)
{
    const auto faces = threadFaceDetector().detect(*testing::frameOf(canvas), FaceDetector::Detail::landmarks);
    if (!faces || faces->size() != 1 || !faces->front().landmarks)
        return {};
    const FaceObservation& face = faces->front();
    cv::Mat shut = canvas.clone();
    for (const auto& eye : {face.landmarks->leftEye, face.landmarks->rightEye}) {
        std::vector<cv::Point2f> points;
        for (const NormalizedPoint& p : eye.value())
            points.emplace_back(static_cast<float>((face.boundingBox.x + p.x * face.boundingBox.width) * kWidth),
                                static_cast<float>((1 - face.boundingBox.y - p.y * face.boundingBox.height) * kHeight));
        const cv::Rect contour = cv::boundingRect(points);
        const cv::Rect region(contour.x - contour.width / 4, contour.y - contour.height, contour.width * 3 / 2,
                              contour.height * 3);
        const cv::Scalar skin = cv::mean(canvas(region + cv::Point(0, region.height)));
        // The eye itself, lids included, pressed into its centre line.
        const cv::Rect lids(contour.x - contour.width / 8, contour.y - contour.height / 4, contour.width * 5 / 4,
                            contour.height * 3 / 2);
        cv::Mat pressed;
        cv::resize(canvas(lids), pressed, cv::Size(lids.width, 2), 0, 0, cv::INTER_AREA);
        // What remains of the dark eye darkens further: the lashes of the closed lids.
        pressed.convertTo(pressed, -1, 0.6);
        shut(region).setTo(skin);
        pressed.copyTo(shut(cv::Rect(lids.x, lids.y + lids.height / 2 - 1, pressed.cols, pressed.rows)));
        cv::GaussianBlur(shut(region), shut(region), cv::Size(3, 3), 0);
    }
    return shut;
}

TEST_F(FaceDetection, EyesReadOpenOnThePhotoAndClosedWhenShut)
{
    for (const auto& [side, x, y] : {std::tuple{1300, 60, -120}, std::tuple{1205, 300, -60}}) {
        const cv::Mat open = canvasWith(side, x, y);
        EXPECT_EQ(LoopEyeOpenness::eyesClosed(*testing::frameOf(open)), false) << side;
        const cv::Mat shut = withEyesShut(open);
        ASSERT_FALSE(shut.empty()) << side;
        EXPECT_EQ(LoopEyeOpenness::eyesClosed(*testing::frameOf(shut)), true) << side;
    }
}

TEST_F(FaceDetection, NoFaceAndUnreadableFramesGiveNoAnswer)
{
    const auto empty = testing::frameOf(cv::Mat(kHeight, kWidth, CV_8UC4, kBackdrop));
    EXPECT_EQ(threadFaceDetector().detect(*empty, FaceDetector::Detail::rectangles), std::vector<FaceObservation>{});
    EXPECT_FALSE(LoopEntry::faceGeometry(*empty));
    EXPECT_FALSE(LoopEyeOpenness::eyesClosed(*empty));
    const auto grey = PixelBuffer::create(kWidth, kHeight, kPixelFormatGray8);
    EXPECT_FALSE(threadFaceDetector().detect(*grey, FaceDetector::Detail::landmarks));
    EXPECT_FALSE(LoopEyeOpenness::eyesClosed(*grey));
}

TEST_F(FaceDetection, ThreadsShareTheModelAndAgree)
{
    const auto frame = testing::frameOf(canvasWith(1300, 60, -120));
    const auto here = LoopEntry::faceGeometry(*frame);
    ASSERT_TRUE(here);
    auto there = std::async(std::launch::async, [&] { return LoopEntry::faceGeometry(*frame); });
    auto eyes = std::async(std::launch::async, [&] { return LoopEyeOpenness::eyesClosed(*frame); });
    EXPECT_EQ(there.get(), here);
    EXPECT_EQ(eyes.get(), false);
}

TEST_F(FaceDetection, WithoutAUsableModelFacesAreFoundButEyesAndRollAreNot)
{
    TemporaryDirectory directory("quellon-face-model");
    const auto garbage = directory.path() / "garbage.dat";
    std::ofstream(garbage) << "not a model";
    const auto frame = testing::frameOf(canvasWith(1300, 60, -120));
    for (const auto& path : {directory.path() / "missing.dat", garbage, directory.path()}) {
        CapturingLogSink log;
        const auto detector = DlibFaceDetection::make(path, log);
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u) << path;
        EXPECT_EQ(lines[0].level, LogLevel::error);
        EXPECT_NE(lines[0].message.find("face landmark model " + path.string() + " cannot be used"), std::string::npos)
            << lines[0].message;
        EXPECT_FALSE(LoopEyeOpenness::eyesClosed(*frame, *detector)) << path;
        const auto faces = detector->detect(*frame, FaceDetector::Detail::landmarks);
        ASSERT_TRUE(faces && faces->size() == 1) << path;
        EXPECT_EQ(faces->front().landmarks, std::nullopt) << path;
        EXPECT_EQ(faces->front().roll, std::nullopt) << path;
        EXPECT_TRUE(LoopEntry::faceGeometry(*frame, *detector)) << path;
        EXPECT_EQ(log.lines().size(), 1u) << "the model is read once";
    }
}

TEST_F(FaceDetection, TheEnvironmentNamesAnotherModel)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto frame = testing::frameOf(canvasWith(1300, 60, -120));
    // In a child process, so that the shared model is read for the first time under the variable.
    EXPECT_EXIT(
        {
            ::setenv(DlibFaceDetection::kModelPathVariable, "/nonexistent/quellon-model.dat", 1);
            const bool found = LoopEntry::faceGeometry(*frame).has_value();
            const bool eyesAbsent = !LoopEyeOpenness::eyesClosed(*frame).has_value();
            std::_Exit(found && eyesAbsent ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(FaceDetection, TheModelIsReadOnlyWhenLandmarksAreFirstAskedFor)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TemporaryDirectory directory("quellon-face-model");
    const auto model = directory.path() / "model.dat";
    const auto frame = testing::frameOf(canvasWith(1300, 60, -120));
    // In a child process, so that the shared model is read for the first time there. The model
    // file appears only after the boxes were found: read any earlier, there would be no eyes.
    EXPECT_EXIT(
        {
            ::setenv(DlibFaceDetection::kModelPathVariable, model.c_str(), 1);
            const bool found = LoopEntry::faceGeometry(*frame).has_value();
            std::filesystem::create_symlink(DlibFaceDetection::kDefaultModelPath, model);
            const bool eyes = LoopEyeOpenness::eyesClosed(*frame) == false;
            std::_Exit(found && eyes ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace quellon
