// An inhibition held through xdg-desktop-portal's Inhibit portal on the session bus
// (org.freedesktop.portal.Inhibit): while it is held the desktop (GNOME, KDE and others) asks the
// user before logging out and does not suspend on its own. It lasts until the request object the
// portal hands out is closed, or this process leaves the bus.
//
// Best effort, as logind's lock: without a session bus or a portal, or when the desktop refuses,
// the caller has none.
#pragma once

#include <QString>

namespace portal {

class Inhibition {
  public:
    // What is held off, as the portal's flags name it.
    static constexpr unsigned kLogout = 1;
    static constexpr unsigned kUserSwitch = 2;
    static constexpr unsigned kSuspend = 4;
    static constexpr unsigned kIdle = 8;

    Inhibition() = default;
    ~Inhibition() { Release(); }
    Inhibition(const Inhibition&) = delete;
    Inhibition& operator=(const Inhibition&) = delete;

    // Asks the portal to hold off what `flags` name, giving `reason`; waits a few seconds at
    // most. On failure returns false and `error` says why, in one line.
    bool Take(unsigned flags, const QString& reason, QString& error);
    // Closes the request; harmless when none is held.
    void Release();
    bool Held() const { return !_request.isEmpty(); }

  private:
    QString _request;  // the object path of the portal's request
};

}  // namespace portal
