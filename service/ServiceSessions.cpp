#include "service/ServiceSessions.h"

#include "ZQPlatform/DispatchQueue.h"

namespace zqservice {

std::shared_ptr<platform::URLSession> connectionSession() {
    // Never destroyed: answers may still be queued while the process exits.
    static auto* session = new std::shared_ptr<platform::URLSession>(platform::URLSession::create(platform::DispatchQueue::main()));
    return *session;
}

} // namespace zqservice
