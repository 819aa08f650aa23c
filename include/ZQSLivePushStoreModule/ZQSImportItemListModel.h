#pragma once
#include "ZQSLivePushStoreModule/Export.h"
#include "ZQSLivePushStoreModule/ZQSImportSingleItemModel.h"
#include "ZQSLivePushStoreModule/ZQSListModel.h"

// One page of the account's catalogue.
class ZQS_STORE_EXPORT ZQSImportItemListModel : public ZQSListModel<ZQSImportSingleItemModel> {};
