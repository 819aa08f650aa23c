#include "ZQSLivePushStoreModule/MainExecute.h"

#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/RunLoop.h"

void mainExecute(std::function<void()> block) {
    if (!block) return;
    if (platform::RunLoop::main().isCurrent())
        block();
    else
        platform::DispatchQueue::main()->async(std::move(block));
}
