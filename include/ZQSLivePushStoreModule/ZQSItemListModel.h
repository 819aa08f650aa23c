#pragma once
#include "ZQSLivePushStoreModule/Export.h"
#include "ZQSLivePushStoreModule/ZQSListModel.h"
#include "ZQSLivePushStoreModule/ZQSSingleItemModel.h"

// One page of the room's products.
class ZQS_STORE_EXPORT ZQSItemListModel : public ZQSListModel<ZQSSingleItemModel> {};
