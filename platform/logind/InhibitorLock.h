// A systemd-logind inhibitor lock: while it is held, logind blocks suspend, hibernation and
// shutdown, and ignores the lid switch and the power, suspend and hibernate keys. It is the file
// descriptor logind hands out (org.freedesktop.login1.Manager.Inhibit); the lock lasts until that
// descriptor and every copy of it are closed, or the process ends.
//
// Best effort: a desktop without logind or a system bus, or a policy that refuses the lock,
// leaves the caller without one. And privileged users may override a blocking lock (logind before
// systemd 257), so a lock makes an interruption unlikely, not impossible.
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QString>

namespace logind {

class InhibitorLock {
  public:
    InhibitorLock() = default;
    ~InhibitorLock() = default;  // closing the descriptor releases the lock
    InhibitorLock(const InhibitorLock&) = delete;
    InhibitorLock& operator=(const InhibitorLock&) = delete;

    // Takes a blocking lock for sleep, shutdown, the lid switch and the suspend and hibernate
    // keys, in the name of `who`, giving `why`. Asks the system bus and waits at most a few
    // seconds. On failure returns false and `error` says why, in one line.
    bool Take(const QString& who, const QString& why, QString& error);
    // Gives the lock up; harmless when none is held.
    void Release();
    bool Held() const { return _descriptor.isValid(); }

    // What the lock blocks, as logind names it.
    static const QString kWhat;

  private:
    // Qt keeps its own duplicate of the descriptor (close-on-exec, so that no child process
    // keeps the lock alive), and closes it when the object is replaced or destroyed.
    QDBusUnixFileDescriptor _descriptor;
};

}  // namespace logind
