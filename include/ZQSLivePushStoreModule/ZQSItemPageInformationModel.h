#pragma once
#include <cstdint>
#include "ZQSLivePushStoreModule/Export.h"

// Paging of a list answer.
class ZQS_STORE_EXPORT ZQSItemPageInformationModel {
public:
    std::int64_t pageNo() const { return mPageNo; }
    void setPageNo(std::int64_t value) { mPageNo = value; }
    std::int64_t pageSize() const { return mPageSize; }
    void setPageSize(std::int64_t value) { mPageSize = value; }
    std::int64_t totalCount() const { return mTotalCount; }
    void setTotalCount(std::int64_t value) { mTotalCount = value; }
    std::int64_t pageCount() const { return mPageCount; }
    void setPageCount(std::int64_t value) { mPageCount = value; }

private:
    std::int64_t mPageNo = 0;
    std::int64_t mPageSize = 0;
    std::int64_t mTotalCount = 0;
    std::int64_t mPageCount = 0;
};
