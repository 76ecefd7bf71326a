// The user at a seat: the owner of the seat's active session, as systemd-logind tells it on the
// system bus (org.freedesktop.login1: the seat object's ActiveSession, that session's User). On a
// machine with one screen and keyboard that is the person in front of it; a multi-seat machine
// gives each seat its own devices, and a device's seat is its udev property ID_SEAT.
#pragma once

#include <sys/types.h>

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <optional>

class QDBusServiceWatcher;

namespace logind {

class SeatUser : public QObject {
    Q_OBJECT

  public:
    // Watches through `bus` (the system bus unless given).
    explicit SeatUser(QDBusConnection bus = QDBusConnection::systemBus());
    ~SeatUser() override;
    SeatUser(const SeatUser&) = delete;
    SeatUser& operator=(const SeatUser&) = delete;

    // Follows `seat` ("seat0", say): asks logind at once when it is not the seat followed so far,
    // and again, once the event loop runs, whenever logind says the seat's active session has
    // changed, a seat has come into being, or logind has started. Each question waits a few
    // seconds at most.
    void Follow(const QString& seat);
    // The user of the followed seat's active session; none without logind, without such a seat,
    // or while no session is active there.
    std::optional<uid_t> User() const { return _user; }

    // One question, nothing followed: the user at `seat` now.
    static std::optional<uid_t> Ask(QDBusConnection bus, const QString& seat);

  private Q_SLOTS:
    void Refresh();

  private:
    QDBusConnection _bus;
    QDBusServiceWatcher* _watcher;
    QString _seat;
    QString _seatPath;  // the seat object whose changes are followed; empty for none
    bool _following = false;
    std::optional<uid_t> _user;
};

}  // namespace logind
