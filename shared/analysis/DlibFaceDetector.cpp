#include "analysis/DlibFaceDetector.h"

#include "platform/Environment.h"
#include "platform/Log.h"
#include "playback/PixelBuffer.h"

#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/image_processing/shape_predictor.h>
#include <dlib/serialize.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <mutex>

namespace quellon {

namespace {

using GreyImage = dlib::array2d<unsigned char>;

/// Added to dlib's own detection threshold. Scanning fine enough for small faces also turns up
/// near misses at the smallest size, such as a badge on a jacket scoring 0.04, where faces
/// score above 0.6.
constexpr double kDetectionThreshold = 0.25;

struct LandmarkModel {
    dlib::shape_predictor predictor;
};

std::shared_ptr<const LandmarkModel> loadModel(const std::filesystem::path& path, LogSink& log)
{
    try {
        auto model = std::make_shared<LandmarkModel>();
        dlib::deserialize(path.string()) >> model->predictor;
        if (model->predictor.num_parts() != 68)
            throw std::runtime_error("it has " + std::to_string(model->predictor.num_parts()) + " points, not 68");
        return model;
    } catch (const std::exception& error) {
        std::string reason = error.what();
        while (!reason.empty() && std::isspace(static_cast<unsigned char>(reason.back())))
            reason.pop_back();
        log.write(LogLevel::error, "Quellon: face landmark model " + path.string() +
                                       " cannot be used, so closed eyes are not detected: " + reason);
        return nullptr;
    }
}

/// The model every thread's detector shares, read once on first use; null when unusable.
std::shared_ptr<const LandmarkModel> sharedModel()
{
    static std::once_flag once;
    static std::shared_ptr<const LandmarkModel> model;
    std::call_once(once, [] {
        const auto override = Environment::process().variable(DlibFaceDetection::kModelPathVariable);
        const std::filesystem::path path =
            override && !override->empty() ? std::filesystem::path(*override) : DlibFaceDetection::kDefaultModelPath;
        static SystemLogSink log("quellon");
        model = loadModel(path, log);
    });
    return model;
}

/// dlib's detector is built by deserialising its trained filters, which takes far longer than a
/// detection. It is built once; each thread copies the configuration, which dlib allows while
/// nobody uses the original.
const dlib::frontal_face_detector& prototypeDetector()
{
    static const dlib::frontal_face_detector prototype = dlib::get_frontal_face_detector();
    return prototype;
}

cv::Mat viewOf(GreyImage& image)
{
    return cv::Mat(static_cast<int>(image.nr()), static_cast<int>(image.nc()), CV_8UC1, dlib::image_data(image),
                   static_cast<std::size_t>(dlib::width_step(image)));
}

/// Makes full the grey copy of a BGRA frame, or of a J420 frame's luma (the same weights, to
/// within a level).
void greyCopy(const PixelBuffer& frame, GreyImage& full)
{
    full.set_size(frame.height(), frame.width());
    const auto lock = frame.lockForReading();
    auto* pixels = const_cast<std::uint8_t*>(lock.baseAddress());
    cv::Mat target = viewOf(full);
    if (frame.isJ420()) {
        const PixelBuffer::Plane luma = frame.plane(0);
        cv::Mat(frame.height(), frame.width(), CV_8UC1, pixels + luma.offset, luma.bytesPerRow).copyTo(target);
        return;
    }
    const cv::Mat bgra(frame.height(), frame.width(), CV_8UC4, pixels, frame.bytesPerRow());
    cv::cvtColor(bgra, target, cv::COLOR_BGRA2GRAY);
}

/// Makes small the grey copy of full's area scaled to size: halved by averaging while it stays
/// at least that large (cheap and free of aliasing), then resampled.
void scaledCopy(GreyImage& full, cv::Rect area, cv::Size size, GreyImage& small)
{
    small.set_size(size.height, size.width);
    cv::Mat source = viewOf(full)(area);
    while (source.cols / 2 >= size.width && source.rows / 2 >= size.height) {
        cv::Mat half;
        cv::resize(source, half, cv::Size(source.cols / 2, source.rows / 2), 0, 0, cv::INTER_AREA);
        source = half;
    }
    cv::Mat target = viewOf(small);
    if (source.size() == size)
        source.copyTo(target);
    else
        cv::resize(source, target, size, 0, 0, cv::INTER_LINEAR);
}

/// One look for faces: an area of the frame (in its pixels), scanned at this scale.
struct Scan {
    cv::Rect area;
    double scale = 1;
};

dlib::dpoint centre(const dlib::full_object_detection& shape, unsigned long first)
{
    dlib::dpoint sum(0, 0);
    for (unsigned long k = first; k < first + 6; ++k)
        sum += dlib::dpoint(shape.part(k));
    return sum / 6.0;
}

/// Angle of the line from the person's right eye to their left eye, y up.
double rollOf(const dlib::full_object_detection& shape)
{
    const dlib::dpoint right = centre(shape, 36);
    const dlib::dpoint left = centre(shape, 42);
    return std::atan2(-(left.y() - right.y()), left.x() - right.x());
}

class DlibFaceDetector final : public FaceDetector {
public:
    using ModelSource = std::function<std::shared_ptr<const LandmarkModel>()>;

    /// modelSource is asked once, when landmarks are first needed.
    explicit DlibFaceDetector(ModelSource modelSource)
        : detector_(prototypeDetector()), modelSource_(std::move(modelSource))
    {
    }

    std::optional<std::vector<FaceObservation>> detect(const PixelBuffer& frame, Detail detail) override
    {
        if (!readable(frame))
            return std::nullopt;
        // A quick scan finds faces a third of the height and larger; only when it finds none is
        // the frame scanned finely enough for faces down to kSmallestFaceShare.
        const int h = frame.height();
        const cv::Rect whole(0, 0, frame.width(), h);
        return detectFaces(frame, detail,
                           {Scan{whole, std::min(1.0, DlibFaceDetection::kQuickScanHeight / h)},
                            Scan{whole, std::min(DlibFaceDetection::kMaxEnlargement, DlibFaceDetection::kScanHeight / static_cast<double>(h))}});
    }

    std::optional<std::vector<FaceObservation>> detectNear(const PixelBuffer& frame, const NormalizedRect& near,
                                                           Detail detail) override
    {
        if (!readable(frame))
            return std::nullopt;
        const double w = frame.width(), h = frame.height();
        const double faceWidth = near.width * w, faceHeight = near.height * h;
        if (!(faceWidth >= 1 && faceHeight >= 1) || !std::isfinite(near.x) || !std::isfinite(near.y))
            return detect(frame, detail);
        // The box grown by its own size on every side, scanned where such a face is
        // kNearScanFace pixels tall.
        const double left = near.x * w - faceWidth, top = (1 - near.y - near.height) * h - faceHeight;
        const cv::Rect area = cv::Rect(static_cast<int>(std::floor(left)), static_cast<int>(std::floor(top)),
                                       static_cast<int>(std::ceil(3 * faceWidth)), static_cast<int>(std::ceil(3 * faceHeight)))
            & cv::Rect(0, 0, frame.width(), frame.height());
        if (area.width < 2 || area.height < 2)
            return std::vector<FaceObservation>{};
        return detectFaces(frame, detail,
                           {Scan{area, std::min(DlibFaceDetection::kMaxEnlargement, DlibFaceDetection::kNearScanFace / faceHeight)}});
    }

private:
    static bool readable(const PixelBuffer& frame)
    {
        return (frame.isBGRA() || frame.isJ420()) && frame.width() >= 1 && frame.height() >= 1;
    }

    /// The faces of the first scan that finds any, absent when detection failed.
    std::optional<std::vector<FaceObservation>> detectFaces(const PixelBuffer& frame, Detail detail, const std::vector<Scan>& scans)
    {
        try {
            return facesOf(frame, detail, scans);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }

    std::vector<FaceObservation> facesOf(const PixelBuffer& frame, Detail detail, const std::vector<Scan>& scans)
    {
        const double w = frame.width();
        const double h = frame.height();
        greyCopy(frame, full_);
        Scan used;
        cv::Size smallSize;
        std::vector<dlib::rect_detection> found;
        for (const Scan& scan : scans) {
            used = scan;
            smallSize = cv::Size(std::max(1, static_cast<int>(std::lround(scan.area.width * scan.scale))),
                                 std::max(1, static_cast<int>(std::lround(scan.area.height * scan.scale))));
            scaledCopy(full_, scan.area, smallSize, small_);
            detector_(small_, found, kDetectionThreshold);
            if (!found.empty())
                break;
        }
        const bool landmarks = detail == Detail::landmarks && !found.empty() && model();
        // From the scanned copy's pixels to the frame's.
        const double toFullX = used.area.width / static_cast<double>(smallSize.width);
        const double toFullY = used.area.height / static_cast<double>(smallSize.height);

        std::vector<FaceObservation> faces;
        faces.reserve(found.size());
        for (const dlib::rect_detection& detection : found) {
            const dlib::rectangle& box = detection.rect;
            const double left = used.area.x + box.left() * toFullX, right = used.area.x + (box.right() + 1) * toFullX;
            const double top = used.area.y + box.top() * toFullY, bottom = used.area.y + (box.bottom() + 1) * toFullY;
            FaceObservation face;
            face.boundingBox = {left / w, 1.0 - bottom / h, (right - left) / w, (bottom - top) / h};
            if (landmarks) {
                const dlib::rectangle fullBox(std::lround(left), std::lround(top), std::lround(right) - 1, std::lround(bottom) - 1);
                const dlib::full_object_detection shape = model()->predictor(full_, fullBox);
                face.roll = rollOf(shape);
                face.landmarks = FaceLandmarks{eyePoints(shape, 42, fullBox), eyePoints(shape, 36, fullBox)};
            }
            faces.push_back(std::move(face));
        }
        return faces;
    }

    static std::vector<NormalizedPoint> eyePoints(const dlib::full_object_detection& shape, unsigned long first,
                                                  const dlib::rectangle& box)
    {
        std::vector<NormalizedPoint> points;
        points.reserve(6);
        const double bw = static_cast<double>(box.width());
        const double bh = static_cast<double>(box.height());
        for (unsigned long k = first; k < first + 6; ++k) {
            const dlib::point p = shape.part(k);
            points.push_back({(p.x() - box.left()) / bw, (box.bottom() + 1 - p.y()) / bh});
        }
        return points;
    }

    const LandmarkModel* model()
    {
        if (modelSource_) {
            model_ = modelSource_();
            modelSource_ = nullptr;
        }
        return model_.get();
    }

    dlib::frontal_face_detector detector_;
    ModelSource modelSource_;
    std::shared_ptr<const LandmarkModel> model_;
    GreyImage small_;
    GreyImage full_;
};

} // namespace

std::unique_ptr<FaceDetector> DlibFaceDetection::make(const std::filesystem::path& modelPath, LogSink& log)
{
    auto model = loadModel(modelPath, log);
    return std::make_unique<DlibFaceDetector>([model] { return model; });
}

void preloadFaceLandmarks()
{
    sharedModel();
}

FaceDetector& threadFaceDetector()
{
    thread_local DlibFaceDetector detector(sharedModel);
    return detector;
}

} // namespace quellon
