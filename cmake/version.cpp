#include "ZQLiveKit/ZQLiveKitVersion.h"

extern "C" {
const double ZQLiveKitVersionNumber = 1.0;
const unsigned char ZQLiveKitVersionString[] = "@(#)PROGRAM:ZQLiveKit  PROJECT:ZQLiveKit-1";
}
