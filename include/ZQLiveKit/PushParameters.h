#pragma once
#include <string>
#include "ZQLiveKit/Export.h"

// The room credentials an application hands to the facade's login. A plain value: the facade copies
// the fields into its own state when the login starts. Any thread; not synchronised.
class ZQLIVEKIT_EXPORT PushParameters {
public:
    // The account (publisher) id of the room service.
    const std::string& userId() const { return mUserId; }
    void setUserId(std::string userId) { mUserId = std::move(userId); }
    // The room to publish in; the facade also hands it to the log.
    const std::string& roomId() const { return mRoomId; }
    void setRoomId(std::string roomId) { mRoomId = std::move(roomId); }
    // The presenter's display name.
    const std::string& viewerName() const { return mViewerName; }
    void setViewerName(std::string viewerName) { mViewerName = std::move(viewerName); }
    // The presenter's room password as issued by the room service.
    const std::string& token() const { return mToken; }
    void setToken(std::string token) { mToken = std::move(token); }
    // True: the room service is reached over HTTPS; false: over plain HTTP.
    bool security() const { return mSecurity; }
    void setSecurity(bool security) { mSecurity = security; }

    bool operator==(const PushParameters&) const = default;

private:
    std::string mUserId;
    std::string mRoomId;
    std::string mViewerName;
    std::string mToken;
    bool mSecurity = false;
};
