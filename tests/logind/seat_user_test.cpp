// The user at a seat, asked of and followed through python-dbusmock's logind on a private bus.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <optional>
#include <string>

#include "PrivateBus.h"
#include "SeatUser.h"

namespace {

class SeatUserTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "seat_user_test";
        static char* argv[] = {name, nullptr};
        application_ = new QCoreApplication(argc, argv);
        bus_ = new PrivateBus("seat_user_test");
    }
    static void TearDownTestSuite() {
        delete bus_;
        delete application_;
    }
    void SetUp() override {
        if (!bus_->Up()) GTEST_SKIP() << "no dbus-daemon";
        bus_->StopMock();
    }

    static bool StartLogind() {
        return bus_->StartMock({"--template", "logind"}, QStringLiteral("org.freedesktop.login1"));
    }
    // A session of `user` on `seat`, which becomes the seat's active one (the seat is made if
    // there is none).
    static void AddSession(const char* session, const char* seat, uint user) {
        Mock("AddSession", {QString::fromLatin1(session), QString::fromLatin1(seat), user,
                            QStringLiteral("user%1").arg(user), true});
    }
    static void Mock(const char* method, const QList<QVariant>& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.DBus.Mock",
            QString::fromLatin1(method));
        call.setArguments(arguments);
        ASSERT_EQ(bus_->connection().call(call).type(), QDBusMessage::ReplyMessage) << method;
    }
    static std::optional<uid_t> Ask(const char* seat) {
        return logind::SeatUser::Ask(bus_->connection(), QString::fromLatin1(seat));
    }
    // Lets the signals in until `follower` has `user`.
    static bool Sees(const logind::SeatUser& follower, std::optional<uid_t> user) {
        return WaitFor([&] {
            QCoreApplication::processEvents();
            return follower.User() == user;
        });
    }

    static QCoreApplication* application_;
    static PrivateBus* bus_;
};

QCoreApplication* SeatUserTest::application_ = nullptr;
PrivateBus* SeatUserTest::bus_ = nullptr;

TEST_F(SeatUserTest, TheUserOfTheSeatsActiveSession) {
    EXPECT_EQ(Ask("seat0"), std::nullopt) << "no logind";
    ASSERT_TRUE(StartLogind()) << "python3-dbusmock missing?";
    EXPECT_EQ(Ask("seat0"), std::nullopt) << "no such seat";
    Mock("AddSeat", {QStringLiteral("seat2")});
    EXPECT_EQ(Ask("seat2"), std::nullopt) << "no active session";

    const struct {
        const char* session;
        const char* seat;
        uint user;
        std::optional<uid_t> seat0, seat1;  // then
    } steps[] = {
        {"c1", "seat0", 4243, 4243, std::nullopt},
        {"c2", "seat1", 4244, 4243, 4244},
        {"c3", "seat0", 4245, 4245, 4244},  // a second session on seat0, switched to
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.session);
        AddSession(step.session, step.seat, step.user);
        EXPECT_EQ(Ask("seat0"), step.seat0);
        EXPECT_EQ(Ask("seat1"), step.seat1);
    }
}

TEST_F(SeatUserTest, FollowsTheSeatAsLogindSaysItChanges) {
    logind::SeatUser follower(bus_->connection());
    follower.Follow(QStringLiteral("seat0"));
    EXPECT_EQ(follower.User(), std::nullopt);

    // logind starts, and its seat0 comes with the first session.
    ASSERT_TRUE(StartLogind()) << "python3-dbusmock missing?";
    AddSession("c1", "seat0", 4243);
    Mock(
        "EmitSignal",
        {QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("SeatNew"),
         QStringLiteral("so"),
         QVariantList{QStringLiteral("seat0"),
                      QVariant::fromValue(QDBusObjectPath("/org/freedesktop/login1/seat/seat0"))}});
    EXPECT_TRUE(Sees(follower, 4243));

    AddSession("c2", "seat0", 4244);  // another user switched to
    EXPECT_TRUE(Sees(follower, 4244));
    AddSession("c3", "seat1", 4245);  // elsewhere: nothing changes here
    follower.Follow(QStringLiteral("seat1"));
    EXPECT_EQ(follower.User(), 4245u);
}

}  // namespace
