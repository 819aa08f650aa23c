#pragma once
#include <optional>
#include <string>
#include "ZQLiveKit/Export.h"

// Where the kit's services live. Each value is the setter's, else the environment's, else the
// built-in default (a placeholder a deployment replaces; CMake -DZQ_DEFAULT_VIEW_HOST=... and its
// siblings change it at build time):
//
// | Setting          | Environment                  | Form                                  |
// |------------------|------------------------------|---------------------------------------|
// | view host        | ZQLIVEKIT_VIEW_HOST          | host[:port] of the viewer API (login, live data) |
// | live API host    | ZQLIVEKIT_LIVE_HOST          | host[:port] of the live API (create, start, stop, record) |
// | HTTP-DNS URL     | ZQLIVEKIT_HTTPDNS_URL        | full http:// or https:// URL of the provider's query |
// | interaction host | ZQLIVEKIT_INTERACTION_HOST   | host[:port] of the interaction service (token) |
//
// The scheme of room-service and interaction requests follows the login's `security` flag, so the
// hosts carry none. A host is a name, an IPv4 address or a bracketed IPv6 address, optionally
// followed by ":" and a port from 1 to 65535. Extra trust for HTTPS is platform::TrustSettings
// (ZQLIVEKIT_CA_FILE). Every operation may be called from any thread.
class ZQLIVEKIT_EXPORT QWServiceSettings {
public:
    static std::string viewHost();
    static std::string liveHost();
    static std::string httpDNSURL();
    static std::string interactionHost();

    // Each setter returns false (and keeps the current value) for a value of the wrong form;
    // std::nullopt returns to the environment and the default.
    static bool setViewHost(std::optional<std::string> host);
    static bool setLiveHost(std::optional<std::string> host);
    static bool setHTTPDNSURL(std::optional<std::string> url);
    static bool setInteractionHost(std::optional<std::string> host);

    static std::string defaultViewHost();
    static std::string defaultLiveHost();
    static std::string defaultHTTPDNSURL();
    static std::string defaultInteractionHost();

    // The forms the setters accept: host[:port] without scheme, path or credentials; an absolute
    // http(s) URL with a host.
    static bool isValidHost(const std::string& host);
    static bool isValidHTTPURL(const std::string& url);
};
