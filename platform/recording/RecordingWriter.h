// Where a recording's lines go: a file (or a stream) written by a thread of its own. A caller
// hands a line over through a bounded queue and never waits for the disk, a stalled pipe or a hung
// network file system, so recording can never slow an update down or stop it.
//
// When the queue overflows, the recording reaches its size limit or a write fails (the disk full,
// a file-size limit), the recording stops: what was queued before is written, the file is cut
// back to its last whole line, and a last line says that it is incomplete and why:
//
//   {"event":"Incomplete","reason":"a write failed: No space left on device","t":1234.5}
//
// (When even that line does not fit, earlier lines make room for it.) Problem() says the same.
//
// Threads: any number of callers; one lock, held only to queue a line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

namespace recording {

class RecordingWriter {
  public:
    struct Limits {
        std::size_t queuedBytes = 16u << 20;  // waiting to be written
        std::uint64_t fileBytes = 0;          // in all; 0 for no limit
    };

    // Opens the file named by the bytes of `path` for writing: created with mode 0600 (a
    // recording holds the unit's serial number) or emptied, never through a symbolic link, and
    // without waiting for a pipe's reader. nullptr when it cannot be opened; `error` says why.
    static std::unique_ptr<RecordingWriter> Open(const std::string& path, Limits limits,
                                                 std::string& error);
    // Writes to `out`, which must outlive the writer.
    RecordingWriter(std::ostream& out, Limits limits);
    // Finish() with its default wait, unless it was called.
    ~RecordingWriter();

    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Queues one line (without its line feed). False once the recording has stopped; the line is
    // not written then.
    bool Write(std::string line);
    // Writes out what is queued, waiting at most `limit` for it, and closes the recording. False
    // when the recording is incomplete.
    bool Finish(std::chrono::milliseconds limit = std::chrono::seconds(3));
    // Empty while the recording is whole; otherwise why it stopped.
    std::string Problem() const;

  private:
    struct State;
    explicit RecordingWriter(std::shared_ptr<State> state);

    // Shared with the writing thread, which may outlive the writer when a write hangs.
    std::shared_ptr<State> state_;
    bool finished_ = false;
};

}  // namespace recording
