#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <utility>
#include "ZQSLivePushStoreModule/Export.h"

// One product of the room. Absent texts and tags are nullopt; numbers start at zero, flags false.
class ZQS_STORE_EXPORT ZQSSingleItemModel {
public:
    const std::optional<std::string>& id() const { return mId; }
    void setId(std::optional<std::string> value) { mId = std::move(value); }
    const std::optional<std::string>& title() const { return mTitle; }
    void setTitle(std::optional<std::string> value) { mTitle = std::move(value); }
    // Address of the cover picture.
    const std::optional<std::string>& cover() const { return mCover; }
    void setCover(std::optional<std::string> value) { mCover = std::move(value); }
    const std::optional<std::string>& desc() const { return mDesc; }
    void setDesc(std::optional<std::string> value) { mDesc = std::move(value); }
    // The answer's "tag" text split at every ",".
    const std::optional<std::vector<std::string>>& tags() const { return mTags; }
    void setTags(std::optional<std::vector<std::string>> value) { mTags = std::move(value); }
    double originPrice() const { return mOriginPrice; }
    void setOriginPrice(double value) { mOriginPrice = value; }
    double currentPrice() const { return mCurrentPrice; }
    void setCurrentPrice(double value) { mCurrentPrice = value; }
    // The answer's "button".
    const std::optional<std::string>& buttonTitle() const { return mButtonTitle; }
    void setButtonTitle(std::optional<std::string> value) { mButtonTitle = std::move(value); }
    // Pinned to the top.
    bool top() const { return mTop; }
    void setTop(bool value) { mTop = value; }
    // Currently pushed to the viewers.
    bool push() const { return mPush; }
    void setPush(bool value) { mPush = value; }
    std::int64_t score() const { return mScore; }
    void setScore(std::int64_t value) { mScore = value; }

private:
    std::optional<std::string> mId;
    std::optional<std::string> mTitle;
    std::optional<std::string> mCover;
    std::optional<std::string> mDesc;
    std::optional<std::vector<std::string>> mTags;
    double mOriginPrice = 0;
    double mCurrentPrice = 0;
    std::optional<std::string> mButtonTitle;
    bool mTop = false;
    bool mPush = false;
    std::int64_t mScore = 0;
};
