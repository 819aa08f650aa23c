#pragma once
// Marks the symbols libZQLiveKit.so exports; everything else is built with hidden visibility.
#define ZQLIVEKIT_EXPORT __attribute__((visibility("default")))
