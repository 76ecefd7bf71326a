#include "SeatUser.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <utility>

namespace logind {
namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
// An unanswered question must not hold up the window or the command line for D-Bus's 25 s.
constexpr int kCallTimeoutMs = 3000;

QDBusMessage Call(QDBusConnection& bus, const QString& path, const QString& interface,
                  const QString& method, const QList<QVariant>& arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, path, interface, method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block, kCallTimeoutMs);
}

// The seat's object; empty when logind does not answer or has no such seat.
QString SeatPath(QDBusConnection& bus, const QString& seat) {
    const QDBusMessage reply = Call(bus, kManagerPath, kManager, QStringLiteral("GetSeat"), {seat});
    if (reply.type() != QDBusMessage::ReplyMessage) return {};
    return qvariant_cast<QDBusObjectPath>(reply.arguments().value(0)).path();
}

// A property whose value is a pair of something and an object: the seat's ActiveSession (so),
// the session's User (uo).
template <typename First>
std::optional<std::pair<First, QString>> PairProperty(QDBusConnection& bus, const QString& path,
                                                      const QString& interface,
                                                      const QString& name) {
    const QDBusMessage reply =
        Call(bus, path, kProperties, QStringLiteral("Get"), {interface, name});
    if (reply.type() != QDBusMessage::ReplyMessage) return std::nullopt;
    const QVariant value = qvariant_cast<QDBusVariant>(reply.arguments().value(0)).variant();
    if (!value.canConvert<QDBusArgument>()) return std::nullopt;
    const QDBusArgument pair = qvariant_cast<QDBusArgument>(value);
    First first{};
    QDBusObjectPath object;
    pair.beginStructure();
    pair >> first >> object;
    pair.endStructure();
    return std::make_pair(first, object.path());
}

// The user of the active session on the seat object; none while no session is active there
// (logind then gives the session as ("", "/")).
std::optional<uid_t> ActiveUser(QDBusConnection& bus, const QString& seatPath) {
    if (seatPath.isEmpty()) return std::nullopt;
    const auto session =
        PairProperty<QString>(bus, seatPath, QStringLiteral("org.freedesktop.login1.Seat"),
                              QStringLiteral("ActiveSession"));
    if (!session || session->first.isEmpty()) return std::nullopt;
    const auto user =
        PairProperty<uint>(bus, session->second, QStringLiteral("org.freedesktop.login1.Session"),
                           QStringLiteral("User"));
    if (!user) return std::nullopt;
    return static_cast<uid_t>(user->first);
}

}  // namespace

SeatUser::SeatUser(QDBusConnection bus)
    : _bus(std::move(bus)),
      _watcher(new QDBusServiceWatcher(kService, _bus, QDBusServiceWatcher::WatchForRegistration,
                                       this)) {
    connect(_watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        if (_following) Refresh();
    });
    // A seat other than seat0 comes into being with its first device.
    _bus.connect(kService, kManagerPath, kManager, QStringLiteral("SeatNew"), this,
                 SLOT(Refresh()));
}

SeatUser::~SeatUser() {
    _bus.disconnect(kService, kManagerPath, kManager, QStringLiteral("SeatNew"), this,
                    SLOT(Refresh()));
    if (!_seatPath.isEmpty()) {
        _bus.disconnect(kService, _seatPath, kProperties, QStringLiteral("PropertiesChanged"), this,
                        SLOT(Refresh()));
    }
}

void SeatUser::Follow(const QString& seat) {
    if (_following && seat == _seat) return;
    _seat = seat;
    _following = true;
    Refresh();
}

void SeatUser::Refresh() {
    if (!_following) return;
    // Changes are followed from before the question, so that none falls between the two.
    const QString path = SeatPath(_bus, _seat);
    if (path != _seatPath) {
        const QString changed = QStringLiteral("PropertiesChanged");
        if (!_seatPath.isEmpty()) {
            _bus.disconnect(kService, _seatPath, kProperties, changed, this, SLOT(Refresh()));
        }
        if (!path.isEmpty()) {
            _bus.connect(kService, path, kProperties, changed, this, SLOT(Refresh()));
        }
        _seatPath = path;
    }
    _user = ActiveUser(_bus, _seatPath);
}

std::optional<uid_t> SeatUser::Ask(QDBusConnection bus, const QString& seat) {
    return ActiveUser(bus, SeatPath(bus, seat));
}

}  // namespace logind
