#pragma once
#include <memory>
#include <optional>
#include <utility>
#include <vector>
#include "ZQSLivePushStoreModule/ZQSItemPageInformationModel.h"

// One page of a list answer: its products, in the order of the answer, and its paging. `records` is
// nullopt and `pagination` null when the answer lacked them. Base of ZQSItemListModel and
// ZQSImportItemListModel.
template <typename Item>
class ZQSListModel {
public:
    using Records = std::vector<std::shared_ptr<Item>>;

    const std::optional<Records>& records() const { return mRecords; }
    void setRecords(std::optional<Records> value) { mRecords = std::move(value); }
    const std::shared_ptr<ZQSItemPageInformationModel>& pagination() const { return mPagination; }
    void setPagination(std::shared_ptr<ZQSItemPageInformationModel> value) { mPagination = std::move(value); }

private:
    std::optional<Records> mRecords;
    std::shared_ptr<ZQSItemPageInformationModel> mPagination;
};
