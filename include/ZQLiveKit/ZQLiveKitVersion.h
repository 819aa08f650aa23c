#pragma once
#include "ZQLiveKit/Export.h"

extern "C" {
ZQLIVEKIT_EXPORT extern const double ZQLiveKitVersionNumber;
ZQLIVEKIT_EXPORT extern const unsigned char ZQLiveKitVersionString[];
}
