// win_support.h -- helpers of the Windows tests: a child process driven through pipes, and
// unique names for the kernel objects of parallel test processes.
#ifndef ZR_WIN_SUPPORT_H
#define ZR_WIN_SUPPORT_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace zrwin {

// A name no other test process uses at the same time ("<stem>-<pid>-<counter>").
std::string unique_name(const std::string &stem);

// A path of the Linux build tree as Wine's Windows programs reach it (drive Z: is the
// root of the Linux file system); other paths are returned as they are.
std::string win_path(const std::string &path);

// The folder of a path ("" when it has none).
std::string folder_of(const std::string &path);

// Waits (at most ms) until a file exists; true when it does.
bool wait_for_file(const std::string &path, unsigned ms);

// A child process whose standard input and output are pipes.
class PipedChild {
 public:
  // `command_line` empty: the quoted program alone.
  explicit PipedChild(const std::string &program, const std::string &command_line = "");
  ~PipedChild();  // closes the input (the child ends), waits a little, terminates it
  PipedChild(const PipedChild &) = delete;
  PipedChild &operator=(const PipedChild &) = delete;
  bool ok() const { return process_ != nullptr; }
  // Sends one line and returns the child's answer line (without the line end); "" when
  // no answer came within 10 s.
  std::string ask(const std::string &line);
  // The next line the child writes ("" when none came within ms).
  std::string read_line(unsigned ms);
  // Waits (at most ms) for the child to end; its exit code, or -1.
  int wait(unsigned ms);

 private:
  HANDLE process_ = nullptr;
  HANDLE in_ = nullptr;   // the child's standard input (this side writes)
  HANDLE out_ = nullptr;  // the child's standard output (this side reads)
  std::string pending_;
};

}  // namespace zrwin

#endif
