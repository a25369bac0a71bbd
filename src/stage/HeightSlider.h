#pragma once

#include <QSlider>
#include <atomic>

namespace loopstage::stage {

// The camera height control. Its value is a float in scene units; QSlider steps are
// hundredths of a unit.
//
// Threads: the slider lives on the main thread; floatValue() may be called from any thread
// (frame output reads it on the display link's thread), so the value is mirrored atomically
// whenever the slider changes.
class HeightSlider final : public QSlider {
    Q_OBJECT

public:
    static constexpr float kUnitsPerStep = 0.01f;
    static constexpr float kMinimumHeight = -2.0f;
    static constexpr float kMaximumHeight = 5.0f;
    // Eye level with the middle of a 1 x 1 musician standing at the origin.
    static constexpr float kStartHeight = 0.5f;

    explicit HeightSlider(QWidget* parent = nullptr);

    float floatValue() const { return value_.load(std::memory_order_relaxed); }
    void setFloatValue(float height);

protected:
    void sliderChange(SliderChange change) override;

private:
    std::atomic<float> value_{kStartHeight};
};

}  // namespace loopstage::stage
