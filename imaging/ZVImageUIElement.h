#pragma once
#include "ZQLiveKit/View.h"
#include "imaging/ZVImageOutput.h"

// A still source: renders a view (with its subviews) into a texture and hands it to its targets,
// only when update() is called. Its frames have the indefinite time, so a two-input filter treats
// it as a still picture.
class ZVImageUIElement : public ZVImageOutput {
public:
    // initWithView:
    explicit ZVImageUIElement(std::shared_ptr<platform::View> view);

    // The view's size in pixels (one pixel a point).
    platform::Size layerSizeInPixels() const;
    // updateWithTimestamp: with the indefinite time. Any thread: the view is drawn on the caller's
    // thread, the texture is filled and passed on on the video-processing queue.
    void update();
    void updateWithTimestamp(double frameTime);

    double timeOfLastUpdate() const;

private:
    std::shared_ptr<platform::View> mView;
    double mTimeOfLastUpdate = kZVTimeInvalid; // video-processing queue
};
