#include "ZQLiveKit/ZQLiveDebug.h"

#include "ZQPlatform/Format.h"

std::string ZQLiveDebug::description() const {
    // "%.0f" rounds to the nearest whole byte (1234.6 prints 1235).
    return platform::stringWithFormat(
        "丢掉的帧数:%lld 总帧数:%lld 上次的音频捕获个数:%lld 上次的视频捕获个数:%lld 未发送个数:%lld 总流量:%.0f",
        static_cast<long long>(mDropFrame), static_cast<long long>(mTotalFrame),
        static_cast<long long>(mCurrentCapturedAudioCount), static_cast<long long>(mCurrentCapturedVideoCount),
        static_cast<long long>(mUnSendCount), mDataFlow);
}
