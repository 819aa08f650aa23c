#pragma once
#include <memory>
#include "ZQPlatform/URLSession.h"

namespace zqservice {

// The URL session behind the facade's tagged connections and record control: answers arrive on the
// main queue, where the facade works. Created on first use, never destroyed. Any thread.
std::shared_ptr<platform::URLSession> connectionSession();

} // namespace zqservice
