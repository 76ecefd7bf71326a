#include "InhibitorLock.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>

namespace logind {
namespace {

// A refused or unanswered call must not hold up the update for D-Bus's default 25 s.
constexpr int kCallTimeoutMs = 3000;

}  // namespace

const QString InhibitorLock::kWhat =
    QStringLiteral("sleep:shutdown:handle-lid-switch:handle-suspend-key:handle-hibernate-key");

bool InhibitorLock::Take(const QString& who, const QString& why, QString& error) {
    Release();
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        error = QStringLiteral("no system bus (%1)").arg(bus.lastError().message());
        return false;
    }
    QDBusInterface manager(QStringLiteral("org.freedesktop.login1"),
                           QStringLiteral("/org/freedesktop/login1"),
                           QStringLiteral("org.freedesktop.login1.Manager"), bus);
    manager.setTimeout(kCallTimeoutMs);
    const QDBusReply<QDBusUnixFileDescriptor> reply =
        manager.call(QStringLiteral("Inhibit"), kWhat, who, why, QStringLiteral("block"));
    if (!reply.isValid()) {
        error = reply.error().message();
        if (error.isEmpty()) error = QStringLiteral("logind did not answer");
        return false;
    }
    _descriptor = reply.value();
    if (!_descriptor.isValid()) {
        error = QStringLiteral("logind handed out no descriptor");
        return false;
    }
    return true;
}

void InhibitorLock::Release() {
    // setFileDescriptor(-1) would leave the old descriptor open: replace the object instead.
    _descriptor = QDBusUnixFileDescriptor();
}

}  // namespace logind
