#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "Brim_PTA_Runnable.h"
#include "Brim_PTA_Thread.h"

using namespace std::chrono_literals;

namespace {

// The error the next pthread_create calls fail with; 0 passes them on to the system.
std::atomic<int> gCreateError{0};

class Flag : public Brim::PTA::Runnable {
  public:
    void Run() override { mRan = true; }
    bool Ran() const { return mRan; }

  private:
    std::atomic<bool> mRan{false};
};

TEST(ThreadCreateFailureTest, StartReportsAThreadThatCannotBeCreated) {
    for (const auto policy :
         {Brim::PTA::Thread::kThreadPolicyTimeslice, Brim::PTA::Thread::kThreadPolicyRoundRobin,
          Brim::PTA::Thread::kThreadPolicyFifo}) {
        for (const int error : {EAGAIN, EPERM}) {
            Flag flag;
            Brim::PTA::Thread thread(&flag, 0, policy);
            gCreateError = error;
            EXPECT_FALSE(thread.Start()) << policy << " " << error;
            gCreateError = 0;
            EXPECT_TRUE(pthread_equal(thread.GetPThread(), pthread_t{}));
            std::this_thread::sleep_for(10ms);
            EXPECT_FALSE(flag.Ran());
        }
    }
}

}  // namespace

extern "C" int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                     void* (*start)(void*), void* argument);

extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                     void* (*start)(void*), void* argument) {
    if (const int error = gCreateError.load()) {
        return error;
    }
    return __real_pthread_create(thread, attributes, start, argument);
}
