#pragma once
#include <mutex>

// Lets any thread cut short what one link is doing, so that a stop never waits for the network: it
// wakes a connect in progress (through a descriptor the connector polls) and, while a call is
// blocked in the link's socket, shuts that socket down, which ends a blocked send or receive at once.
// Once interrupted it stays so; the publisher makes a fresh one for each run.
//
// The socket is shut down only while a call is in progress: between calls the owner may still close
// the link politely (telling the server), which it bounds in time itself.
//
// Thread-safe. The descriptor given to attach() must stay open until detach(): the owner closes it
// only after detaching, so that interrupt() never touches a descriptor number that was reused.
class LinkInterrupt {
public:
    LinkInterrupt();
    ~LinkInterrupt();
    LinkInterrupt(const LinkInterrupt&) = delete;
    LinkInterrupt& operator=(const LinkInterrupt&) = delete;

    // Any thread.
    void interrupt();
    bool interrupted() const;
    // Polls readable once interrupted; -1 when the system refused one (polling then only sees the
    // connector's own time-out, and interrupted() is checked after each wait).
    int pollFd() const { return mEventFd; }

    // The link's socket. attach() on an interrupted object does nothing and returns false.
    bool attach(int socket);
    void detach();

    // Brackets one blocking call on the attached socket; false (the call must not begin) once
    // interrupted.
    bool beginCall();
    void endCall();

    // A call bracket for a scope.
    class Call {
    public:
        explicit Call(LinkInterrupt& interrupt) : mInterrupt(interrupt), mStarted(interrupt.beginCall()) {}
        ~Call() {
            if (mStarted) mInterrupt.endCall();
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        explicit operator bool() const { return mStarted; }

    private:
        LinkInterrupt& mInterrupt;
        bool mStarted;
    };

private:
    mutable std::mutex mMutex;
    bool mInterrupted = false;
    int mSocket = -1;
    int mCallsInProgress = 0;
    int mEventFd = -1;
};
