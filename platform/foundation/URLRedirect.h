#pragma once
#include <optional>
#include <string>
#include "ZQPlatform/Error.h"
#include "ZQPlatform/Export.h"
#include "ZQPlatform/URLSession.h"

namespace platform::detail {

// The URL session follows redirects itself rather than letting libcurl do it, so that what a
// request carries never reaches a place the caller did not mean:
// - a redirect from https to http is refused (URLErrorAppTransportSecurityRequiresSecureConnection);
// - when the host or port changes (an upgrade from http on port 80 to https on 443 does not count),
//   the caller's headers are dropped, except the few that describe the body or the wanted answer
//   (Content-Type, Accept, Accept-Language): tokens and credentials stay with the host they were
//   meant for;
// - 303 turns any method but HEAD into a body-less GET, 301 and 302 turn a POST into one; 307 and
//   308 repeat the request as it was;
// - only http and https targets are followed.
inline constexpr int kMaximumRedirects = 16;

struct RedirectStep {
    std::optional<URLRequest> next; // the request to send next
    std::optional<Error> error;     // or why the redirect is refused
};

// Exported only so the kit's tests can reach the rules; the header is not installed.
// True for the statuses that are followed (301, 302, 303, 307, 308).
ZQ_PLATFORM_EXPORT bool isFollowedRedirect(long statusCode);

// The next hop for `request` (sent to `currentURL`) answered with `statusCode` and the absolute
// `location`. `redirectsSoFar` counts the hops already followed.
ZQ_PLATFORM_EXPORT RedirectStep redirectStep(const URLRequest& request, const std::string& currentURL, long statusCode,
                                             const std::string& location, int redirectsSoFar);

} // namespace platform::detail
