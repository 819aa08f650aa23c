#include "ZQLiveKit/ZQAudioFrame.h"

ZQAudioFrame::~ZQAudioFrame() = default;
