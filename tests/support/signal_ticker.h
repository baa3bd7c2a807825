// signal_ticker.h -- SIGALRM every few milliseconds, as a program that uses signals (a timer,
// a Java VM) sends them to the thread that calls the library.
//
// The handler does nothing and is installed without SA_RESTART, so every tick interrupts the
// blocking call in progress (EINTR).  The end stops the timer and takes any tick still
// pending before the former handler comes back, so that none arrives at the default action
// (which would end the process).  POSIX only.
//
//   {
//     zrtest::SignalTicker ticks(10);
//     ... a call that waits ...
//   }
#ifndef ZR_TEST_SIGNAL_TICKER_H
#define ZR_TEST_SIGNAL_TICKER_H

#include <signal.h>
#include <sys/time.h>
#include <time.h>

namespace zrtest {

class SignalTicker {
 public:
  explicit SignalTicker(long every_ms) {
    struct sigaction tick = {};
    tick.sa_handler = [](int) {};
    sigemptyset(&tick.sa_mask);
    sigaction(SIGALRM, &tick, &former_);
    const timeval every{every_ms / 1000, (every_ms % 1000) * 1000};
    itimerval timer{every, every};
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~SignalTicker() {
    sigset_t alarm, before;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, &before);
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    const timespec now = {0, 0};
    while (sigtimedwait(&alarm, nullptr, &now) == SIGALRM) {
    }
    sigaction(SIGALRM, &former_, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  SignalTicker(const SignalTicker &) = delete;
  SignalTicker &operator=(const SignalTicker &) = delete;

 private:
  struct sigaction former_ = {};
};

}  // namespace zrtest

#endif
