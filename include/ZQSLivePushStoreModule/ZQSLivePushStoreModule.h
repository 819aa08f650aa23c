#pragma once
// The product-shelf library: everything an application includes to use it.
#include "ZQSLivePushStoreModule/MainExecute.h"
#include "ZQSLivePushStoreModule/ZQSImportItemListModel.h"
#include "ZQSLivePushStoreModule/ZQSImportSingleItemModel.h"
#include "ZQSLivePushStoreModule/ZQSItemListModel.h"
#include "ZQSLivePushStoreModule/ZQSItemPageInformationModel.h"
#include "ZQSLivePushStoreModule/ZQSListModel.h"
#include "ZQSLivePushStoreModule/ZQSLivePushStoreFunc.h"
#include "ZQSLivePushStoreModule/ZQSLivePushStoreFuncConfig.h"
#include "ZQSLivePushStoreModule/ZQSLivePushStoreModuleVersion.h"
#include "ZQSLivePushStoreModule/ZQSSingleItemModel.h"
