// bench-bridge-xfer -- a file sent to the handheld simulator and fetched back, once through
// the Java bridge (ConnectivityAPI.sendFile and getFile, called in a JVM that this program
// starts, with libQXConJNI.so loaded by the JVM as the application loads it) and once through
// KQ_ZR_fm_xfer called directly with the same step and a C progress callback, in the same
// run and against the same simulator.  Prints both and the ratio of the bridge's throughput
// to the direct call's (1.00: no cost at all).
//
// Both paths use the same libzr-net.so in this process: the JVM's System.loadLibrary finds
// the copy that this program is linked with already loaded.
//
// Each round moves the file both ways on both paths, the path that goes first alternating
// from round to round.  The ratio is taken from each path's best round (the one least
// disturbed by whatever else the machine runs); the medians are shown beside it.
//
// Usage: bench-bridge-xfer [MIB] [ROUNDS]        (default 64 MiB, 21 rounds)
#include <jni.h>

#include "sim_process.h"
#include "zr-net.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// What a C application's progress callback does: the percentage, kept where it is seen.
volatile int g_percent = 0;
int direct_progress(int, zr_xfer *x) {
  g_percent = x->size ? static_cast<int>(static_cast<uint64_t>(x->done) * 100 / x->size) : 0;
  return 0;
}

bool write_pattern(const std::string &path, size_t bytes) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::vector<unsigned char> block(1 << 20);
  uint32_t x = 0x12345678u;
  bool ok = true;
  for (size_t done = 0; done < bytes && ok;) {
    for (auto &b : block) {
      x = x * 1103515245u + 12345u;
      b = static_cast<unsigned char>(x >> 24);
    }
    size_t n = std::min(block.size(), bytes - done);
    ok = std::fwrite(block.data(), 1, n, f) == n;
    done += n;
  }
  return std::fclose(f) == 0 && ok;
}

bool same_content(const std::string &a, const std::string &b) {
  FILE *fa = std::fopen(a.c_str(), "rb");
  FILE *fb = std::fopen(b.c_str(), "rb");
  bool same = fa && fb;
  std::vector<char> ba(1 << 16), bb(1 << 16);
  while (same) {
    size_t na = std::fread(ba.data(), 1, ba.size(), fa);
    size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
    same = na == nb && std::memcmp(ba.data(), bb.data(), na) == 0;
    if (na == 0 || na < ba.size()) break;
  }
  if (fa) std::fclose(fa);
  if (fb) std::fclose(fb);
  return same;
}

// The application's side: a ConnectivityAPI object in a JVM started here.
struct Bridge {
  JavaVM *vm = nullptr;
  JNIEnv *env = nullptr;
  jobject api = nullptr;
  jmethodID send = nullptr, get = nullptr;

  bool start() {
    std::string cp = std::string("-Djava.class.path=") + QX_JAR_PATH;
    std::string lp = std::string("-Djava.library.path=") + QX_LIB_DIR;
    JavaVMOption options[2];
    options[0].optionString = const_cast<char *>(cp.c_str());
    options[1].optionString = const_cast<char *>(lp.c_str());
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_10;
    args.nOptions = 2;
    args.options = options;
    args.ignoreUnrecognized = JNI_FALSE;
    if (JNI_CreateJavaVM(&vm, reinterpret_cast<void **>(&env), &args) != JNI_OK) {
      std::fprintf(stderr, "bench-bridge-xfer: the JVM could not be created\n");
      return false;
    }
    jclass cls = env->FindClass("com/kq/vlx/qxconnect/connectivity/ConnectivityAPI");
    if (!cls) {
      env->ExceptionDescribe();
      return false;
    }
    jmethodID ctor = env->GetMethodID(cls, "<init>", "()V");
    jmethodID init = env->GetMethodID(cls, "initAPI", "()I");
    send = env->GetMethodID(cls, "sendFile", "(JLjava/lang/String;Ljava/lang/String;)I");
    get = env->GetMethodID(cls, "getFile", "(JLjava/lang/String;Ljava/lang/String;)I");
    if (!ctor || !init || !send || !get) {
      env->ExceptionDescribe();
      return false;
    }
    api = env->NewGlobalRef(env->NewObject(cls, ctor));
    int rc = env->CallIntMethod(api, init);
    if (env->ExceptionCheck() || rc != 0) {
      env->ExceptionDescribe();
      std::fprintf(stderr, "bench-bridge-xfer: initAPI gave %d\n", rc);
      return false;
    }
    return true;
  }

  // sendFile(addr, host, device) or getFile(addr, device, host); the result code, or -99999
  // when the call raised.
  int call(jmethodID m, uint32_t addr, const std::string &first, const std::string &second) {
    jstring a = env->NewStringUTF(first.c_str());
    jstring b = env->NewStringUTF(second.c_str());
    int rc = env->CallIntMethod(api, m, static_cast<jlong>(addr), a, b);
    env->DeleteLocalRef(a);
    env->DeleteLocalRef(b);
    if (env->ExceptionCheck()) {
      env->ExceptionDescribe();
      return -99999;
    }
    return rc;
  }

  ~Bridge() {
    if (vm) vm->DestroyJavaVM();
  }
};

struct Timing {
  std::vector<double> put, get;
};

double best(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  const long mib = argc > 1 ? std::atol(argv[1]) : 64;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 21;
  if (mib <= 0 || mib > 1024 || rounds <= 0) {
    std::fprintf(stderr, "usage: bench-bridge-xfer [MIB (1..1024)] [ROUNDS]\n");
    return 2;
  }
  const size_t bytes = static_cast<size_t>(mib) << 20;

  char tmpl[] = "/tmp/bench-bridge-xfer-XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = tmpl;
  const std::string storage = dir + "/storage";
  const std::string source = dir + "/source.bin";
  mkdir(storage.c_str(), 0755);
  int status = 1;
  {
    if (!write_pattern(source, bytes)) {
      std::fprintf(stderr, "bench-bridge-xfer: cannot write %s\n", source.c_str());
    } else {
      // Room for the file: the simulator refuses what exceeds its available storage.
      zrtest::SimProcess sim({"--storage", storage, "--log", "/dev/null", "--set", "disk=4294967295,4294967295,0"});
      Bridge bridge;
      if (!sim.ok()) {
        std::fprintf(stderr, "bench-bridge-xfer: simulator: %s\n", sim.error().c_str());
      } else if (bridge.start()) {
        const uint32_t addr = sim.addr();
        Timing direct, through;
        bool ok = true;
        for (int r = 0; r < rounds && ok; ++r) {
          // Alternate which path goes first, so that neither always meets a warm cache.
          for (int turn = 0; turn < 2 && ok; ++turn) {
            const bool use_bridge = (turn == 0) == (r % 2 == 1);
            const std::string remote = use_bridge ? "/bridge.bin" : "/direct.bin";
            const std::string back = dir + (use_bridge ? "/bridge-back.bin" : "/direct-back.bin");
            Timing &t = use_bridge ? through : direct;

            Clock::time_point t0 = Clock::now();
            int rc = use_bridge
                         ? bridge.call(bridge.send, addr, source, remote)
                         : KQ_ZR_fm_xfer(addr, ZR_FM_PUT, remote.c_str(), source.c_str(), 500, direct_progress, 0);
            t.put.push_back(seconds_since(t0));
            if (rc != 0) {
              std::fprintf(stderr, "%s send failed: %d\n", use_bridge ? "bridge" : "direct", rc);
              ok = false;
              break;
            }
            t0 = Clock::now();
            rc = use_bridge ? bridge.call(bridge.get, addr, remote, back)
                            : KQ_ZR_fm_xfer(addr, ZR_FM_GET, remote.c_str(), back.c_str(), 500, direct_progress, 0);
            t.get.push_back(seconds_since(t0));
            if (rc != 0 || !same_content(source, back)) {
              std::fprintf(stderr, "%s fetch failed: %d%s\n", use_bridge ? "bridge" : "direct", rc,
                           rc == 0 ? " (content differs)" : "");
              ok = false;
            }
            unlink(back.c_str());
            unlink((storage + remote).c_str());
          }
        }
        if (ok) {
          const double m = static_cast<double>(mib);
          auto line = [&](const char *what, const std::vector<double> &d, const std::vector<double> &b) {
            std::printf(
                "%-8s direct %7.3f s %7.1f MiB/s (median %7.3f s)   bridge %7.3f s %7.1f MiB/s "
                "(median %7.3f s)   ratio %.3f\n",
                what, best(d), m / best(d), median(d), best(b), m / best(b), median(b), best(d) / best(b));
          };
          std::printf(
              "%ld MiB each way, %d rounds, progress step 500 bytes; ratio = bridge throughput / "
              "direct throughput, best rounds\n",
              mib, rounds);
          line("sendFile", direct.put, through.put);
          line("getFile", direct.get, through.get);
          const double d = best(direct.put) + best(direct.get);
          const double b = best(through.put) + best(through.get);
          std::printf("both     direct %7.3f s   bridge %7.3f s   ratio %.3f\n", d, b, d / b);
          status = 0;
        }
      }
    }
  }
  unlink(source.c_str());
  rmdir(storage.c_str());
  rmdir(dir.c_str());
  return status;
}
