#include "RealtimeKit.h"

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace realtimekit {
namespace {

constexpr char kService[] = "org.freedesktop.RealtimeKit1";
constexpr char kPath[] = "/org/freedesktop/RealtimeKit1";
// A refused or unanswered call must not hold up the update for D-Bus's default 25 s.
constexpr int kCallTimeoutMs = 3000;
// The hard limit where the daemon says none: its own default.
constexpr rlim_t kDefaultRunTimeMicroseconds = 200000;

// The real-time thread SIGXCPU returns to time-sharing; 0 for none.
std::atomic<pid_t> gRealtimeThread{0};

void OnRunTimeExceeded(int) {
    const int savedErrno = errno;
    const pid_t thread = gRealtimeThread.exchange(0);
    if (thread != 0) {
        const sched_param timeShared{};
        sched_setscheduler(thread, SCHED_OTHER, &timeShared);
        static const char kMessage[] =
            "The update ran too long without a pause for real-time scheduling; it goes on "
            "time-shared.\n";
        (void)!write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    }
    errno = savedErrno;
}

// Clears gRealtimeThread when the thread it names ends, so that the handler never touches a
// thread id the system has handed to someone else.
struct RealtimeThreadMark {
    ~RealtimeThreadMark() {
        pid_t self = gettid();
        gRealtimeThread.compare_exchange_strong(self, 0);
    }
};

// Sets RLIMIT_RTTIME to at most `hardMicroseconds` with the soft limit at half of it, and arms
// the SIGXCPU handler for the calling thread. The limits stay lowered: a process may not raise a
// hard limit again, and nothing else in it runs real-time.
bool BoundRunTime(rlim_t hardMicroseconds, std::string& error) {
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) {
        error = std::string("cannot read RLIMIT_RTTIME: ") + std::strerror(errno);
        return false;
    }
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > hardMicroseconds) {
        limit.rlim_max = hardMicroseconds;
    }
    limit.rlim_cur = limit.rlim_max / 2;
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0) {
        error = std::string("cannot set RLIMIT_RTTIME: ") + std::strerror(errno);
        return false;
    }
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_handler = OnRunTimeExceeded;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGXCPU, &action, nullptr);
    });
    thread_local RealtimeThreadMark mark;
    (void)mark;
    gRealtimeThread.store(gettid());
    return true;
}

// One call to the daemon, waited for at most kCallTimeoutMs. Plain messages rather than
// QDBusInterface, which would first ask the daemon to describe itself.
QDBusMessage Call(QDBusConnection& bus, const QString& interface, const QString& method,
                  const QList<QVariant>& arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kService), QString::fromLatin1(kPath), interface, method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block, kCallTimeoutMs);
}

bool AskRealtimeKit(std::string& error) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        error = "no system bus (" + bus.lastError().message().toStdString() + ")";
        return false;
    }
    const auto property = [&](const char* name) {
        return QDBusReply<QDBusVariant>(
            Call(bus, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                 {QString::fromLatin1(kService), QString::fromLatin1(name)}));
    };
    const QDBusReply<QDBusVariant> maxPriority = property("MaxRealtimePriority");
    if (!maxPriority.isValid()) {
        error = "RealtimeKit did not answer (" + maxPriority.error().message().toStdString() + ")";
        return false;
    }
    if (maxPriority.value().variant().toInt() < kPriority) {
        error = "RealtimeKit grants no real-time priority";
        return false;
    }
    const QDBusReply<QDBusVariant> maxRunTime = property("RTTimeUSecMax");
    const qlonglong runTime = maxRunTime.isValid() ? maxRunTime.value().variant().toLongLong() : 0;
    if (runTime <= 0) {
        error = "RealtimeKit gave no RTTimeUSecMax";
        return false;
    }
    if (!BoundRunTime(static_cast<rlim_t>(runTime), error)) return false;

    const QDBusReply<void> granted =
        Call(bus, QString::fromLatin1(kService), QStringLiteral("MakeThreadRealtimeWithPID"),
             {QVariant::fromValue(static_cast<qulonglong>(getpid())),
              QVariant::fromValue(static_cast<qulonglong>(gettid())),
              QVariant::fromValue(static_cast<uint>(kPriority))});
    if (!granted.isValid()) {
        gRealtimeThread.store(0);
        error = "RealtimeKit refused (" + granted.error().message().toStdString() + ")";
        return false;
    }
    return true;
}

bool SetDirectly(std::string& error) {
    if (!BoundRunTime(kDefaultRunTimeMicroseconds, error)) return false;
    // As RealtimeKit sets it: round-robin, not passed on to children.
    sched_param parameters{};
    parameters.sched_priority = kPriority;
    if (sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &parameters) != 0) {
        gRealtimeThread.store(0);
        error = std::string("sched_setscheduler: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool MakeThisThreadRealtime(Means means, std::string& error) {
    return means == Means::kDirect ? SetDirectly(error) : AskRealtimeKit(error);
}

std::string RequestForThisThread() {
    std::string error;
    if (MakeThisThreadRealtime(Means::kRealtimeKit, error)) return {};
    static std::atomic<bool> said{false};
    if (said.exchange(true)) return {};
    return "No real-time scheduling for the update (" + error +
           "): on a busy machine it may take a little longer.";
}

}  // namespace realtimekit
