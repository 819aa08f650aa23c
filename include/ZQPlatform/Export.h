#pragma once
// Symbols of the platform foundation library that applications and the two kit libraries may use.
// Everything else is built with hidden visibility.
#define ZQ_PLATFORM_EXPORT __attribute__((visibility("default")))
