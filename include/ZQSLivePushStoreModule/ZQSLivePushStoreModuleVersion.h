#pragma once
#include "ZQSLivePushStoreModule/Export.h"

extern "C" {
ZQS_STORE_EXPORT extern const double ZQSLivePushStoreModuleVersionNumber;
ZQS_STORE_EXPORT extern const unsigned char ZQSLivePushStoreModuleVersionString[];
}
