#include "PortalInhibit.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QVariantMap>

namespace portal {
namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");

// A desktop that does not answer must not hold up the update for D-Bus's default 25 s.
constexpr int kCallTimeoutMs = 3000;

}  // namespace

bool Inhibition::Take(unsigned flags, const QString& reason, QString& error) {
    Release();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        error = QStringLiteral("no session bus (%1)").arg(bus.lastError().message());
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        kService, QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
    // No parent window: the desktop shows the reason on its own.
    call << QString() << flags << QVariantMap{{QStringLiteral("reason"), reason}};
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        error = reply.errorMessage().isEmpty() ? QStringLiteral("the portal did not answer")
                                               : reply.errorMessage();
        return false;
    }
    _request = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (_request.isEmpty()) {
        error = QStringLiteral("the portal handed out no request");
        return false;
    }
    return true;
}

void Inhibition::Release() {
    if (_request.isEmpty()) return;
    // Not waited for: the portal also lets go when this process leaves the bus.
    QDBusConnection::sessionBus().send(QDBusMessage::createMethodCall(
        kService, _request, QStringLiteral("org.freedesktop.portal.Request"),
        QStringLiteral("Close")));
    _request.clear();
}

}  // namespace portal
