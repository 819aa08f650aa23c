#include "ZQSLivePushStoreModule/ZQSLivePushStoreModuleVersion.h"

extern "C" {
const double ZQSLivePushStoreModuleVersionNumber = 1.0;
const unsigned char ZQSLivePushStoreModuleVersionString[] =
    "@(#)PROGRAM:ZQSLivePushStoreModule  PROJECT:ZQSLivePushStoreModule-1";
}
