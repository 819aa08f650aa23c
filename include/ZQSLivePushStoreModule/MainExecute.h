#pragma once
#include <functional>
#include "ZQSLivePushStoreModule/Export.h"

// Runs `block` at once when called on the main thread (the thread running the main run loop),
// otherwise queues it on the main queue. Does nothing for an empty block. Any thread.
ZQS_STORE_EXPORT void mainExecute(std::function<void()> block);
