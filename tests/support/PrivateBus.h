// A D-Bus daemon of a test's own, standing in for the system or the session bus, with
// python-dbusmock services on it. Programs find it through DBUS_SYSTEM_BUS_ADDRESS (or
// DBUS_SESSION_BUS_ADDRESS) = address().
#pragma once

#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"

class PrivateBus {
  public:
    // `name` tells the bus's socket and this process's connection to it apart from others'.
    explicit PrivateBus(const std::string& name) : name_(name) {
        const std::filesystem::path base =
            std::filesystem::temp_directory_path() / (name + "_bus." + std::to_string(getpid()));
        const std::filesystem::path socket = base;
        address_ = "unix:path=" + socket.string();
        // The session bus's policy, but, as on the system bus, every user with an account may
        // connect (the session bus lets only its own user), so that a test can run a program as
        // another user.
        config_ = base.string() + ".conf";
        std::ofstream(config_) << "<busconfig><listen>" << address_
                               << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                  "<allow user=\"*\"/><allow send_destination=\"*\" "
                                  "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                  "<allow own=\"*\"/></policy></busconfig>\n";
        daemon_.emplace(
            std::vector<std::string>{"dbus-daemon", "--config-file=" + config_, "--nofork"});
        if (!WaitFor([&] { return std::filesystem::exists(socket); })) return;
        bus_ = QDBusConnection::connectToBus(QString::fromStdString(address_),
                                             QString::fromStdString(name_));
        up_ = bus_.isConnected();
    }
    ~PrivateBus() {
        mock_.reset();
        QDBusConnection::disconnectFromBus(QString::fromStdString(name_));
        daemon_.reset();
        std::filesystem::remove(config_);
    }

    bool Up() const { return up_; }
    const std::string& address() const { return address_; }
    QDBusConnection& connection() { return bus_; }

    // Starts python-dbusmock on the bus with `arguments` (a template and its parameters, say),
    // in place of the mock started before, and waits until it owns `service`. The bus stands in
    // for the system bus, or with `sessionBus` for the session bus.
    bool StartMock(const std::vector<std::string>& arguments, const QString& service,
                   bool sessionBus = false) {
        StopMock();
        std::vector<std::string> command{"/usr/bin/python3", "-m", "dbusmock",
                                         sessionBus ? "--session" : "--system"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        mock_.emplace(
            command,
            std::map<std::string, std::string>{
                {sessionBus ? "DBUS_SESSION_BUS_ADDRESS" : "DBUS_SYSTEM_BUS_ADDRESS", address_}});
        return WaitFor([&] { return HasOwner(service); });
    }
    void StopMock() { mock_.reset(); }

    bool HasOwner(const QString& service) {
        const QDBusMessage reply = bus_.call(
            QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "NameHasOwner")
            << service);
        return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
    }

  private:
    std::string name_;
    std::string address_;
    std::string config_;
    std::optional<ChildProcess> daemon_;
    std::optional<ChildProcess> mock_;
    QDBusConnection bus_{QString()};
    bool up_ = false;
};
