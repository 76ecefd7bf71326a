// What both programs do first, before anything opens a file or writes a line: nothing the
// process was started with may later cut an update short or mix its output into a recording.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

// - Descriptors 0, 1 and 2 closed at start would be reused by the first files opened (a
//   recording, the FireWire device), and the program's own messages would land in them: each
//   closed one is opened on /dev/null.
// - A file-size limit (ulimit -f, LimitFSIZE=) would kill the process with SIGXFSZ at a
//   recording's write, mid-image: ignored, the write fails instead, and the recording says so.
// - A reader that goes away (`| head`, a closed terminal pipe) would kill it with SIGPIPE at a
//   message: ignored, the message is lost instead.
inline void PrepareProcess() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor, which is `fd`: those below it are open by now.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0) ::close(opened);
    }
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
}
