// An X11 session manager (XSMP, libSM's manager side over libICE) for tests: it listens at the
// address it gives for SESSION_MANAGER, registers each client that connects, and on Logout asks
// every client to save itself for a shutdown with any interaction allowed, as a desktop's logout
// does, grants the interaction a client asks for, and tells what the client answered. Driven from
// the test's own thread: nothing happens between calls, so a client that waits for it waits.
#pragma once

#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

class SessionManager {
  public:
    // What a client answered a logout.
    struct Answer {
        bool interacted = false;         // asked to interact, and was let
        bool cancelledShutdown = false;  // its InteractDone said: cancel the shutdown
        bool saved = false;              // it sent SaveYourselfDone
        bool success = false;            // and said it saved successfully
    };

    SessionManager() {
        // A client may leave at any moment: a write to it then fails, and must not end the test
        // (libICE's own handler of a broken connection calls exit).
        signal(SIGPIPE, SIG_IGN);
        IceSetIOErrorHandler([](IceConn) {});
        char error[256] = "";
        if (!SmsInitialize("orlo-session-test", "1", &NewClient, this, &AnyHost, sizeof error,
                           error)) {
            problem_ = error;
            return;
        }
        if (!IceListenForConnections(&listenerCount_, &listeners_, sizeof error, error)) {
            problem_ = error;
            return;
        }
        for (int i = 0; i < listenerCount_; ++i) IceSetHostBasedAuthProc(listeners_[i], &AnyHost);
        char* ids = IceComposeNetworkIdList(listenerCount_, listeners_);
        address_ = ids;
        std::free(ids);
    }
    ~SessionManager() {
        while (!connections_.empty()) Drop(connections_.back());
        if (listeners_ != nullptr) IceFreeListenObjs(listenerCount_, listeners_);
    }
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    bool Up() const { return !address_.empty(); }
    const std::string& problem() const { return problem_; }
    const std::string& address() const { return address_; }  // for SESSION_MANAGER

    // Serves connections until a client has registered.
    bool WaitForClient(std::chrono::milliseconds within) {
        return ServeUntil([this] { return !clients_.empty(); }, within);
    }
    // Asks every client to save itself for a shutdown, interaction allowed, and serves until the
    // first client has said it is done.
    Answer Logout(std::chrono::milliseconds within) {
        answer_ = {};
        for (SmsConn client : clients_) {
            SmsSaveYourself(client, SmSaveBoth, True, SmInteractStyleAny, False);
        }
        ServeUntil([this] { return answer_.saved; }, within);
        // A cancelled shutdown is told to every client, as the protocol has it.
        if (answer_.cancelledShutdown) {
            for (SmsConn client : clients_) SmsShutdownCancelled(client);
        } else {
            for (SmsConn client : clients_) SmsSaveComplete(client);
        }
        Serve(std::chrono::milliseconds{100});
        return answer_;
    }

  private:
    static SessionManager& Of(SmPointer data) { return *static_cast<SessionManager*>(data); }

    // Any client of this machine may connect: there is no ICE authority file to share.
    static Bool AnyHost(char* /*host*/) { return True; }

    static Status NewClient(SmsConn /*client*/, SmPointer data, unsigned long* mask,
                            SmsCallbacks* callbacks, char** /*failure*/) {
        *mask = SmsRegisterClientProcMask | SmsInteractRequestProcMask | SmsInteractDoneProcMask |
                SmsSaveYourselfRequestProcMask | SmsSaveYourselfP2RequestProcMask |
                SmsSaveYourselfDoneProcMask | SmsCloseConnectionProcMask |
                SmsSetPropertiesProcMask | SmsDeletePropertiesProcMask | SmsGetPropertiesProcMask;
        callbacks->register_client = {&Register, data};
        callbacks->interact_request = {&InteractRequest, data};
        callbacks->interact_done = {&InteractDone, data};
        callbacks->save_yourself_request = {&SaveYourselfRequest, data};
        callbacks->save_yourself_phase2_request = {&Phase2Request, data};
        callbacks->save_yourself_done = {&SaveYourselfDone, data};
        callbacks->close_connection = {&CloseConnection, data};
        callbacks->set_properties = {&SetProperties, data};
        callbacks->delete_properties = {&DeleteProperties, data};
        callbacks->get_properties = {&GetProperties, data};
        return 1;
    }
    static Status Register(SmsConn client, SmPointer data, char* previousId) {
        std::free(previousId);
        char* id = SmsGenerateClientID(client);
        const Status status = id != nullptr && SmsRegisterClientReply(client, id);
        std::free(id);
        if (status) Of(data).clients_.push_back(client);
        return status;
    }
    static void InteractRequest(SmsConn client, SmPointer data, int /*dialogType*/) {
        Of(data).answer_.interacted = true;
        SmsInteract(client);
    }
    static void InteractDone(SmsConn, SmPointer data, Bool cancelShutdown) {
        Of(data).answer_.cancelledShutdown = cancelShutdown;
    }
    static void SaveYourselfRequest(SmsConn, SmPointer, int, Bool, int, Bool, Bool) {}
    static void Phase2Request(SmsConn client, SmPointer) { SmsSaveYourselfPhase2(client); }
    static void SaveYourselfDone(SmsConn, SmPointer data, Bool success) {
        Of(data).answer_.saved = true;
        Of(data).answer_.success = success;
    }
    static void CloseConnection(SmsConn client, SmPointer data, int count, char** reasons) {
        SmFreeReasons(count, reasons);
        std::erase(Of(data).clients_, client);
        SmsCleanUp(client);
    }
    static void SetProperties(SmsConn, SmPointer, int count, SmProp** properties) {
        for (int i = 0; i < count; ++i) SmFreeProperty(properties[i]);
        std::free(properties);
    }
    static void DeleteProperties(SmsConn, SmPointer, int count, char** names) {
        for (int i = 0; i < count; ++i) std::free(names[i]);
        std::free(names);
    }
    static void GetProperties(SmsConn client, SmPointer) {
        SmsReturnProperties(client, 0, nullptr);
    }

    // Accepts connections and processes what arrives, for `within` or until `done`.
    bool ServeUntil(const std::function<bool()>& done, std::chrono::milliseconds within) {
        const auto end = std::chrono::steady_clock::now() + within;
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            Serve(std::min(left, std::chrono::milliseconds{50}));
        }
        return true;
    }
    void Serve(std::chrono::milliseconds wait) {
        std::vector<pollfd> fds;
        for (int i = 0; i < listenerCount_; ++i) {
            fds.push_back({IceGetListenConnectionNumber(listeners_[i]), POLLIN, 0});
        }
        for (IceConn connection : connections_) {
            fds.push_back({IceConnectionNumber(connection), POLLIN, 0});
        }
        const std::vector<IceConn> polled = connections_;
        if (poll(fds.data(), fds.size(), static_cast<int>(wait.count())) <= 0) return;
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (fds[listenerCount_ + i].revents != 0 &&
                IceProcessMessages(polled[i], nullptr, nullptr) == IceProcessMessagesIOError) {
                Drop(polled[i]);
            }
        }
        for (int i = 0; i < listenerCount_; ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            IceAcceptStatus status;
            if (IceConn connection = IceAcceptConnection(listeners_[i], &status)) {
                connections_.push_back(connection);
            }
        }
    }
    // Closes a connection, and forgets its client.
    void Drop(IceConn connection) {
        std::erase_if(clients_, [connection](SmsConn client) {
            if (SmsGetIceConnection(client) != connection) return false;
            SmsCleanUp(client);
            return true;
        });
        std::erase(connections_, connection);
        // Closed at once: no one would be there to finish a negotiated close.
        IceSetShutdownNegotiation(connection, False);
        IceCloseConnection(connection);
    }

    std::string address_, problem_;
    int listenerCount_ = 0;
    IceListenObj* listeners_ = nullptr;
    std::vector<IceConn> connections_;
    std::vector<SmsConn> clients_;
    Answer answer_;
};
