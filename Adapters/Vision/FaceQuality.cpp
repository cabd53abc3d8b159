#include "Adapters/Vision/FaceQuality.hpp"

#include "Core/Jobs.hpp"

#include <opencv2/imgproc.hpp>
#include <opencv2/quality/qualitybrisque.hpp>

#include <algorithm>
#include <mutex>

namespace korvel::FaceQuality {

namespace {
constexpr const char* modelFile = "/usr/share/opencv4/quality/brisque_model_live.yml";
constexpr const char* rangeFile = "/usr/share/opencv4/quality/brisque_range_live.yml";
} // namespace

std::optional<double> of(const cv::Mat& upright, const DetectedFace& face) {
    const NormalizedBox b = face.box.clamped();
    cv::Rect crop(static_cast<int>(b.x * upright.cols), static_cast<int>(b.y * upright.rows),
                  static_cast<int>(b.w * upright.cols), static_cast<int>(b.h * upright.rows));
    crop &= cv::Rect(0, 0, upright.cols, upright.rows);
    // BRISQUE needs a few pixels to measure its statistics.
    if (crop.width < 8 || crop.height < 8) return std::nullopt;
    cv::Mat grey;
    cv::cvtColor(upright(crop), grey, cv::COLOR_BGRA2GRAY);
    static std::mutex lock;
    static cv::Ptr<cv::quality::QualityBRISQUE> brisque;
    double score;
    try {
        std::lock_guard g(lock);
        if (!brisque) brisque = cv::quality::QualityBRISQUE::create(modelFile, rangeFile);
        score = brisque->compute(grey)[0];
    } catch (const cv::Exception& e) {
        throw EngineFailure::internalError(std::string("Vision failed on a frame: ") + e.what());
    }
    return std::clamp(face.confidence * std::clamp(1 - score / 100, 0.0, 1.0), 0.0, 1.0);
}

} // namespace korvel::FaceQuality
