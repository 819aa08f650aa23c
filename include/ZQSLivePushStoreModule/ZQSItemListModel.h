#pragma once
#include <memory>
#include <optional>
#include <vector>
#include <utility>
#include "ZQSLivePushStoreModule/Export.h"
#include "ZQSLivePushStoreModule/ZQSItemPageInformationModel.h"
#include "ZQSLivePushStoreModule/ZQSSingleItemModel.h"

// One page of the room's products. `records` is nullopt and `pagination` null when the answer
// lacked them.
class ZQS_STORE_EXPORT ZQSItemListModel {
public:
    using Records = std::vector<std::shared_ptr<ZQSSingleItemModel>>;

    const std::optional<Records>& records() const { return mRecords; }
    void setRecords(std::optional<Records> value) { mRecords = std::move(value); }
    const std::shared_ptr<ZQSItemPageInformationModel>& pagination() const { return mPagination; }
    void setPagination(std::shared_ptr<ZQSItemPageInformationModel> value) { mPagination = std::move(value); }

private:
    std::optional<Records> mRecords;
    std::shared_ptr<ZQSItemPageInformationModel> mPagination;
};
