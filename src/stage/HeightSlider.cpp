#include "stage/HeightSlider.h"

#include <cmath>

namespace loopstage::stage {

namespace {
int stepsOf(float height) {
    return static_cast<int>(std::lround(height / HeightSlider::kUnitsPerStep));
}
}  // namespace

HeightSlider::HeightSlider(QWidget* parent) : QSlider(Qt::Vertical, parent) {
    setRange(stepsOf(kMinimumHeight), stepsOf(kMaximumHeight));
    setSingleStep(5);
    setPageStep(50);
    setValue(stepsOf(kStartHeight));
    value_.store(static_cast<float>(value()) * kUnitsPerStep, std::memory_order_relaxed);
}

void HeightSlider::setFloatValue(float height) { setValue(stepsOf(height)); }

void HeightSlider::sliderChange(SliderChange change) {
    if (change == SliderValueChange) {
        value_.store(static_cast<float>(value()) * kUnitsPerStep, std::memory_order_relaxed);
    }
    QSlider::sliderChange(change);
}

}  // namespace loopstage::stage
