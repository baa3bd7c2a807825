// sim-server.h -- the simulator's listener: accepts connections and serves each on its own
// thread until a stop is requested.
#ifndef ZR_SIM_SERVER_H
#define ZR_SIM_SERVER_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim-state.h"

namespace zrsim {

// Connections served at the same time; further ones are closed at once.
constexpr size_t kMaxConnections = 256;

class Server {
 public:
  explicit Server(SimState &state) : state_(state) {}
  ~Server();

  // Binds and listens.  False with a message when the address or port cannot be taken.
  bool listen(uint32_t addr, uint16_t port, std::string &error);
  uint16_t bound_port() const { return bound_port_; }

  // Accepts and serves connections until a stop is requested, then waits for every
  // connection thread to end.
  void run();

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void serve(int fd, uint64_t connection);
  void reap(bool all);
  // Counts a request with this command word; the status to refuse it with (--refuse).
  std::optional<int64_t> refusal(const std::string &word);

  SimState &state_;
  int listen_fd_ = -1;
  uint16_t bound_port_ = 0;
  uint64_t connections_ = 0;
  std::vector<Worker> workers_;
  std::mutex counts_mutex_;
  std::map<std::string, uint64_t> counts_;  // requests seen per command word
};

}  // namespace zrsim

#endif
