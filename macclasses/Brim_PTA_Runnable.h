// The body of a thread: a Thread calls Run() on its own POSIX thread.
#pragma once

namespace Brim::PTA {

class Runnable {
  public:
    virtual void Run() = 0;

  protected:
    // Protected so that nobody deletes the object through this interface: its owner deletes it
    // through its own class, which knows what else the object is.
    Runnable() = default;
    virtual ~Runnable() = default;
};

}  // namespace Brim::PTA
