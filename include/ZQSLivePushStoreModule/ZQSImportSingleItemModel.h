#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include "ZQSLivePushStoreModule/Export.h"

// One product of the account's catalogue, as offered for import into the room.
class ZQS_STORE_EXPORT ZQSImportSingleItemModel {
public:
    const std::optional<std::string>& id() const { return mId; }
    void setId(std::optional<std::string> value) { mId = std::move(value); }
    const std::optional<std::string>& title() const { return mTitle; }
    void setTitle(std::optional<std::string> value) { mTitle = std::move(value); }
    const std::optional<std::string>& cover() const { return mCover; }
    void setCover(std::optional<std::string> value) { mCover = std::move(value); }
    double originPrice() const { return mOriginPrice; }
    void setOriginPrice(double value) { mOriginPrice = value; }
    double currentPrice() const { return mCurrentPrice; }
    void setCurrentPrice(double value) { mCurrentPrice = value; }
    // Creation time as the service reports it, a whole number kept as a double.
    double gmtCreate() const { return mGmtCreate; }
    void setGmtCreate(double value) { mGmtCreate = value; }
    // The product's binding to the room, as the service reports it.
    std::int64_t bind() const { return mBind; }
    void setBind(std::int64_t value) { mBind = value; }

private:
    std::optional<std::string> mId;
    std::optional<std::string> mTitle;
    std::optional<std::string> mCover;
    double mOriginPrice = 0;
    double mCurrentPrice = 0;
    double mGmtCreate = 0;
    std::int64_t mBind = 0;
};
