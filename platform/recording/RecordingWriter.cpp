#include "RecordingWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <optional>
#include <ostream>
#include <thread>

#include "RecordingFormat.h"

namespace recording {
namespace {

std::string SystemError(int error) {
    return std::strerror(error);
}

std::string Size(std::uint64_t bytes) {
    return bytes >= (1u << 20) && bytes % (1u << 20) == 0 ? std::to_string(bytes >> 20) + " MiB"
                                                          : std::to_string(bytes >> 10) + " KiB";
}

}  // namespace

struct RecordingWriter::State {
    State(int descriptor, std::ostream* stream, Limits bounds)
        : fd(descriptor), out(stream), limits(bounds) {}
    ~State() {
        if (fd >= 0) ::close(fd);
    }

    // The writing thread's loop: batches of lines, then, once stopped, the last line.
    void Run() {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return !queue.empty() || closing || (problem && !marked); });
            if (!queue.empty()) {
                std::deque<std::string> batch;
                batch.swap(queue);
                queued = 0;
                lock.unlock();
                std::string text;
                for (const std::string& line : batch) text.append(line).append(1, '\n');
                const int error = Put(text);
                lock.lock();
                if (error != 0) {
                    StopLocked("a write failed: " + SystemError(error));
                    queue.clear();  // nothing after the failed line may follow it
                    queued = 0;
                }
                continue;
            }
            if (problem && !marked) {
                const std::string reason = *problem;
                lock.unlock();
                MarkIncomplete(reason);
                lock.lock();
                marked = true;
                continue;
            }
            if (closing) {
                done = true;
                finished.notify_all();
                return;
            }
        }
    }

    void StopLocked(std::string reason) {
        if (!problem) problem = std::move(reason);
        wake.notify_one();
    }

    // Writes all of `text`; 0, or the error of the write that failed. `whole` follows the end of
    // the last whole line in the file, and `lineEnds` the ends of the lines before it.
    int Put(const std::string& text) {
        if (out != nullptr) {
            *out << text;
            out->flush();
            return out->good() ? 0 : EIO;
        }
        std::size_t done = 0;
        int error = 0;
        while (done < text.size()) {
            const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) {
                error = wrote < 0 ? errno : EIO;
                break;
            }
            done += static_cast<std::size_t>(wrote);
        }
        const std::uint64_t start = whole;
        for (std::size_t at = text.find('\n'); at < done; at = text.find('\n', at + 1)) {
            whole = start + at + 1;
            lineEnds.push_back(whole);
        }
        // Enough to make room for the last line however the file ended.
        while (!lineEnds.empty() && lineEnds.front() + kCutBackAtMost < whole) lineEnds.pop_front();
        return error;
    }

    // Ends the file with the line that says it is incomplete, in place of any line cut short.
    // Where the line does not fit (the disk full, a file-size limit), the last lines give way to
    // it, a little more each time.
    void MarkIncomplete(const std::string& reason) {
        Json marker;
        marker["event"] = "Incomplete";
        marker["reason"] = reason;
        marker["t"] = Milliseconds();
        const std::string line = marker.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
        if (out != nullptr) {
            Put(line);
            return;
        }
        struct stat file {};
        const bool regular = ::fstat(fd, &file) == 0 && S_ISREG(file.st_mode);
        if (!regular) {
            Put(line);  // a pipe: a line cut short cannot be taken back
            return;
        }
        // Its own length back is room enough under a file-size limit; a full disk may need a
        // block or more.
        for (const std::uint64_t room :
             {std::uint64_t{0}, std::uint64_t{line.size()}, std::uint64_t{65536}, kCutBackAtMost}) {
            const std::uint64_t end = LineEndBefore(whole > room ? whole - room : 0);
            if (::ftruncate(fd, static_cast<off_t>(end)) != 0) return;
            if (::lseek(fd, static_cast<off_t>(end), SEEK_SET) < 0) return;
            whole = end;
            if (Put(line) == 0) return;
        }
    }

    // The end of the last whole line at or before `offset`; 0 for the start of the file.
    std::uint64_t LineEndBefore(std::uint64_t offset) const {
        const auto after = std::upper_bound(lineEnds.begin(), lineEnds.end(), offset);
        return after == lineEnds.begin() ? 0 : *std::prev(after);
    }

    double Milliseconds() const {
        const std::chrono::duration<double, std::milli> since =
            std::chrono::steady_clock::now() - start;
        return static_cast<double>(static_cast<std::int64_t>(since.count() * 1000)) / 1000;
    }

    const int fd;
    std::ostream* const out;
    const Limits limits;
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    std::mutex mutex;
    std::condition_variable wake;      // a line queued, the recording stopped, or closing
    std::condition_variable finished;  // done
    std::deque<std::string> queue;
    std::size_t queued = 0;      // bytes in `queue`
    std::uint64_t accepted = 0;  // bytes ever queued
    std::optional<std::string> problem;
    bool marked = false;   // the last line is written
    bool closing = false;  // nothing more will be queued
    bool done = false;     // the thread has written all it will
    // The writing thread's own.
    static constexpr std::uint64_t kCutBackAtMost = 1u << 20;
    std::uint64_t whole = 0;
    std::deque<std::uint64_t> lineEnds;
};

std::unique_ptr<RecordingWriter> RecordingWriter::Open(const std::string& path, Limits limits,
                                                       std::string& error) {
    // O_NONBLOCK: a pipe without a reader fails at once (ENXIO) instead of holding the program.
    const int fd = ::open(
        path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        const int cause = errno;
        error = cause == ELOOP   ? "it is a symbolic link, which a recording does not follow"
                : cause == ENXIO ? "nothing reads from the pipe"
                                 : SystemError(cause);
        return nullptr;
    }
    struct stat file {};
    if (::fstat(fd, &file) != 0 || ::fcntl(fd, F_SETFL, 0) != 0 ||
        (S_ISREG(file.st_mode) &&
         (::ftruncate(fd, 0) != 0 || (file.st_uid == ::geteuid() && ::fchmod(fd, 0600) != 0)))) {
        error = SystemError(errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<RecordingWriter>(
        new RecordingWriter(std::make_shared<State>(fd, nullptr, limits)));
}

RecordingWriter::RecordingWriter(std::ostream& out, Limits limits)
    : RecordingWriter(std::make_shared<State>(-1, &out, limits)) {}

RecordingWriter::RecordingWriter(std::shared_ptr<State> state) : state_(std::move(state)) {
    std::thread([state = state_] {
        // No signal is handled on this thread, and a pipe whose reader has gone fails the write
        // with EPIPE here instead of raising SIGPIPE, whatever the program does with it.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        state->Run();
    }).detach();
}

RecordingWriter::~RecordingWriter() {
    if (!finished_) Finish();
}

bool RecordingWriter::Write(std::string line) {
    State& state = *state_;
    const std::size_t size = line.size() + 1;
    std::lock_guard lock(state.mutex);
    if (state.problem || state.closing) return false;
    if (state.queued + size > state.limits.queuedBytes) {
        state.StopLocked("the recording fell behind the calls: " + Size(state.queued) +
                         " waited to be written");
        return false;
    }
    // Room kept for the last line, so that the file with it stays within its limit.
    constexpr std::size_t kLastLineRoom = 512;
    if (state.limits.fileBytes != 0 &&
        state.accepted + size + kLastLineRoom > state.limits.fileBytes) {
        state.StopLocked("the recording reached its limit of " + Size(state.limits.fileBytes));
        return false;
    }
    state.queue.push_back(std::move(line));
    state.queued += size;
    state.accepted += size;
    state.wake.notify_one();
    return true;
}

bool RecordingWriter::Finish(std::chrono::milliseconds limit) {
    finished_ = true;
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    state.closing = true;
    state.wake.notify_one();
    if (!state.finished.wait_for(lock, limit, [&] { return state.done; })) {
        // The thread goes on waiting for its write, and ends with the process.
        if (!state.problem) {
            state.problem = "its last lines were still not written after " +
                            std::to_string(limit.count()) + " ms";
        }
    }
    return !state.problem;
}

std::string RecordingWriter::Problem() const {
    std::lock_guard lock(state_->mutex);
    return state_->problem.value_or(std::string());
}

}  // namespace recording
