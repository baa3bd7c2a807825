// private_network.h -- a private network namespace with the handheld networks of a test.
//
// The calling thread enters a network namespace of its own (unshare), and every packet of
// the test stays in it; processes it starts from there (the simulator, zrlink) share it.
// The host side of the handheld's network is 172.16.0.1/30 and the handheld's side
// 172.16.0.2, where a simulator can listen; each further network 172.16.0.(4k+1)/30 has
// nobody behind its handheld address 172.16.0.(4k+2) (no reply at all).  The networks are
// veth pairs; where veth is missing, addresses on the loopback interface.  The thread
// returns to its former namespace when the object ends.  Linux only.
//
//   zrtest::PrivateNetwork net(3);
//   if (!net.ok()) GTEST_SKIP() << "no private network namespace: " << net.why();
#ifndef ZR_TEST_PRIVATE_NETWORK_H
#define ZR_TEST_PRIVATE_NETWORK_H

#include <string>
#include <vector>

namespace zrtest {

class PrivateNetwork {
 public:
  explicit PrivateNetwork(int silent_networks = 1);
  ~PrivateNetwork();
  PrivateNetwork(const PrivateNetwork &) = delete;
  PrivateNetwork &operator=(const PrivateNetwork &) = delete;

  bool ok() const { return ok_; }
  const std::string &why() const { return why_; }  // why it could not be made
  const std::string &how() const { return how_; }  // "veth", or "loopback (why not veth)"

 private:
  int former_ = -1;
  bool entered_ = false;
  bool ok_ = false;
  std::string why_, how_;
};

// Runs a program found on the search path (or in /usr/sbin, /sbin, /usr/bin, /bin) to its
// end, its output dropped; true when it exited with 0, else false with the reason in *why.
bool run_quietly(const std::vector<std::string> &args, std::string *why);

}  // namespace zrtest

#endif
