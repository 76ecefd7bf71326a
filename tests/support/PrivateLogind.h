// python-dbusmock's logind on a private system bus: seats with their users' sessions, and the
// inhibitor locks taken. Programs find it through DBUS_SYSTEM_BUS_ADDRESS = address().
#pragma once

#include <sys/types.h>

#include <QDBusArgument>
#include <QDBusMessage>
#include <string>
#include <vector>

#include "PrivateBus.h"

class PrivateLogind {
  public:
    // `name` tells the bus apart from others'.
    explicit PrivateLogind(const std::string& name) : bus_(name) { up_ = bus_.Up() && Start(); }

    bool Up() const { return up_; }
    const std::string& address() const { return bus_.address(); }
    QDBusConnection& connection() { return bus_.connection(); }

    // logind (again), with no seat, session or lock; or none on the bus.
    bool Start() {
        return bus_.StartMock({"--template", "logind"}, QStringLiteral("org.freedesktop.login1"));
    }
    void Stop() { bus_.StopMock(); }

    // A session of `user` on `seat` (made if there is none), which becomes the seat's active one.
    bool AddSession(const std::string& session, const std::string& seat, uid_t user) {
        return Mock("AddSession",
                    {QString::fromStdString(session), QString::fromStdString(seat),
                     static_cast<uint>(user), QStringLiteral("user%1").arg(user), true});
    }
    // A method of the mock's own interface (org.freedesktop.DBus.Mock) on the manager.
    bool Mock(const char* method, const QList<QVariant>& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.DBus.Mock",
            QString::fromLatin1(method));
        call.setArguments(arguments);
        return bus_.connection().call(call).type() == QDBusMessage::ReplyMessage;
    }

    struct Inhibitor {
        std::string what, who, why, mode;
    };
    std::vector<Inhibitor> Inhibitors() {
        std::vector<Inhibitor> inhibitors;
        const QDBusMessage reply = bus_.connection().call(
            QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                           "org.freedesktop.login1.Manager", "ListInhibitors"));
        if (reply.type() != QDBusMessage::ReplyMessage) return inhibitors;
        const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            uint uid = 0, pid = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> uid >> pid;
            list.endStructure();
            inhibitors.push_back(
                {what.toStdString(), who.toStdString(), why.toStdString(), mode.toStdString()});
        }
        list.endArray();
        return inhibitors;
    }

  private:
    PrivateBus bus_;
    bool up_ = false;
};
