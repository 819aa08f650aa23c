#pragma once
#include <string>

namespace zqtest {

// A private network namespace for one test, with only its own loopback, so that the test can shape
// that link (tc) without touching the machine's. Made with `ip netns` under a name unique to the
// process; removed, with everything shaped in it, when the object goes. Needs CAP_SYS_ADMIN: where
// it is missing, ok() is false and error() says why (tests then skip).
class NetworkNamespace {
public:
    NetworkNamespace();
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    bool ok() const { return mCreated; }
    const std::string& error() const { return mError; }
    const std::string& name() const { return mName; }

    // Runs a shell command (without single quotes) inside the namespace; its exit status, with output
    // and errors in `output`.
    int run(const std::string& command, std::string* output = nullptr) const;
    // Moves the calling thread into the namespace, so that sockets it opens and processes it starts
    // live there; leave() moves it back (also done when the object goes).
    bool enter();
    void leave();

private:
    std::string mName;
    std::string mError;
    bool mAdded = false;   // `ip netns add` succeeded: delete it when done
    bool mCreated = false; // and its loopback is up
    int mOriginal = -1; // the thread's namespace while entered
};

} // namespace zqtest
