#pragma once
// Marks the symbols libZQSLivePushStoreModule.so exports; everything else is built with hidden
// visibility.
#define ZQS_STORE_EXPORT __attribute__((visibility("default")))
