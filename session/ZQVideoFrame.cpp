#include "ZQLiveKit/ZQVideoFrame.h"

ZQVideoFrame::~ZQVideoFrame() = default;
