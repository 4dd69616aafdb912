// The load generator of the benchmark: drives one FTP server on loopback in
// one of a few fixed ways and prints one line of key=value results, the last
// key being first_error (the rest of the line). bench/run reads that line.
//
//   ftpload sessions --port P --user U --pass W --clients N --seconds S
//   ftpload latency  ... --clients N --seconds S --command NOOP|PWD
//   ftpload idle     ... --count N          (then commands on standard input)
//   ftpload list     ... --path DIR --seconds S [--expect LINES]
//   ftpload retr     ... --path FILE --streams K --size BYTES   (K parts of the file at once)
//   ftpload stor     ... --path DIR --streams K --size BYTES --tag T
//   ftpload small    ... --path DIR --count N --size BYTES --prefix P --digits D --suffix X
//
// --tls 1 makes every session explicit FTPS: AUTH TLS, PBSZ 0, PROT P, and
// data connections that resume the control connection's TLS session.
//
// Failed sessions are counted, never retried into the figures.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftp_client.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string mode;
  Endpoint server{"127.0.0.1", 0};
  std::string user;
  std::string password;
  std::string command = "NOOP";
  std::string path;
  std::string tag = "run";
  std::string prefix = "f";
  std::string suffix = ".bin";
  int digits = 4;
  int clients = 1;
  int streams = 1;
  double seconds = 3;
  long count = 0;
  long expect = 0;
  std::uint64_t size = 0;
  int timeoutMs = 30000;
  bool tls = false;
  const TlsClient* tlsClient = nullptr;  // set when tls
};

// Failures of all threads: how many, and the first one's text.
class Tally {
 public:
  void fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_++ == 0) first_ = what;
  }
  long failed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
  }
  std::string first() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_;
  }

 private:
  mutable std::mutex mutex_;
  long failed_ = 0;
  std::string first_;
};

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// One result line; first_error goes last because it may hold blanks.
void report(const std::string& fields, const Tally& tally) {
  std::string first = tally.first();
  for (char& c : first) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::printf("%s failed=%ld first_error=%s\n", fields.c_str(), tally.failed(), first.c_str());
  std::fflush(stdout);
}

std::string fmt(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Lets every thread finish its preparation (login, PASV) before the clock
// starts, so that set-up is not timed.
class StartLine {
 public:
  explicit StartLine(int threads) : waiting_(threads) {}

  // Each thread calls this once, ready or failed.
  void arrive() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--waiting_ == 0) changed_.notify_all();
  }
  // Returns the end of the measuring time once the clock has started.
  Clock::time_point waitForStart() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return started_; });
    return deadline_;
  }
  // Waits for every arrival, then starts the clock and releases the threads.
  Clock::time_point release(double seconds = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return waiting_ == 0; });
    start_ = Clock::now();
    deadline_ = start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    started_ = true;
    changed_.notify_all();
    return start_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_;
  bool started_ = false;
  Clock::time_point start_;
  Clock::time_point deadline_;
};

// Runs body(i) on n threads; `between` runs on the calling thread while they do.
void runThreads(int n, const std::function<void(int)>& body, const std::function<void()>& between = {}) {
  std::vector<std::thread> threads;
  threads.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) threads.emplace_back(body, i);
  if (between) between();
  for (std::thread& t : threads) t.join();
}

FtpClient loggedIn(const Options& o) {
  FtpClient c(o.server, o.timeoutMs, o.tlsClient);
  c.connect();
  c.login(o.user, o.password);
  return c;
}

void oneSession(const Options& o) {
  FtpClient c = loggedIn(o);
  c.quit();
}

// Sessions completed within the window, per second of the window. A session
// still under way at its end is waited for (up to the reply timeout) but not
// counted: a stalled client adds nothing, and stretches no clock.
int runSessions(const Options& o) {
  std::atomic<long> completed{0};
  Tally tally;
  Clock::time_point start = Clock::now();
  Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
  runThreads(o.clients, [&](int) {
    while (Clock::now() < deadline) {
      try {
        oneSession(o);
        if (Clock::now() <= deadline) ++completed;
      } catch (const FtpError& e) {
        tally.fail(e.what());
        // A refusing server must not turn the loop into a spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  });
  report("completed=" + std::to_string(completed.load()) + " seconds=" + fmt("%.3f", secondsSince(start)) +
             " rate=" + fmt("%.1f", completed.load() / o.seconds),
         tally);
  return completed.load() > 0 ? 0 : 1;
}

double percentile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

int runLatency(const Options& o) {
  std::vector<std::vector<double>> perThread(static_cast<std::size_t>(o.clients));
  Tally tally;
  StartLine line(o.clients);
  runThreads(
      o.clients,
      [&](int i) {
        std::vector<double>& mine = perThread[static_cast<std::size_t>(i)];
        bool arrived = false;
        try {
          FtpClient c = loggedIn(o);
          for (int w = 0; w < 20; ++w) c.command(o.command);  // warm the server's session first
          arrived = true;
          line.arrive();
          Clock::time_point deadline = line.waitForStart();
          while (Clock::now() < deadline) {
            Clock::time_point t0 = Clock::now();
            Reply r = c.command(o.command);
            double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
            if (r.code / 100 != 2) throw FtpError(o.command + ": " + r.text);
            mine.push_back(us);
          }
          c.quit();
        } catch (const FtpError& e) {
          tally.fail(e.what());
          if (!arrived) line.arrive();
        }
      },
      [&] { line.release(o.seconds); });
  std::vector<double> all;
  for (auto& v : perThread) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  report("count=" + std::to_string(all.size()) + " median_us=" + fmt("%.1f", percentile(all, 0.5)) +
             " p99_us=" + fmt("%.1f", percentile(all, 0.99)),
         tally);
  return all.empty() ? 1 : 0;
}

// Opens --count logged-in sessions and holds them; then answers commands on
// standard input until "close" or end of input:
//   probe K   K new sessions (connect, login, quit) while the others are held
//   check     NOOP on every held session: how many still answer
int runIdle(const Options& o) {
  constexpr int kOpeners = 8;
  std::vector<std::vector<FtpClient>> opened(kOpeners);
  Tally tally;
  Clock::time_point start = Clock::now();
  runThreads(kOpeners, [&](int t) {
    for (long i = t; i < o.count; i += kOpeners) {
      try {
        opened[static_cast<std::size_t>(t)].push_back(loggedIn(o));
      } catch (const FtpError& e) {
        tally.fail(e.what());
      }
    }
  });
  std::vector<FtpClient> held;
  for (auto& v : opened) {
    for (auto& c : v) held.push_back(std::move(c));
  }
  report("opened=" + std::to_string(held.size()) + " seconds=" + fmt("%.3f", secondsSince(start)), tally);

  std::string command;
  while (std::getline(std::cin, command)) {
    if (command.rfind("probe ", 0) == 0) {
      long n = std::atol(command.c_str() + 6);
      long ok = 0;
      Tally probes;
      for (long i = 0; i < n; ++i) {
        try {
          oneSession(o);
          ++ok;
        } catch (const FtpError& e) {
          probes.fail(e.what());
        }
      }
      report("probe_ok=" + std::to_string(ok), probes);
    } else if (command == "check") {
      long alive = 0;
      Tally dead;
      for (FtpClient& c : held) {
        try {
          if (c.connected() && c.command("NOOP").code / 100 == 2) ++alive;
        } catch (const FtpError& e) {
          dead.fail(e.what());
          c.close();
        }
      }
      report("alive=" + std::to_string(alive), dead);
    } else if (command == "close") {
      break;
    }
  }
  return held.empty() ? 1 : 0;
}

// The reply that ends a transfer: 226, or 250 from servers that use it.
void finishTransfer(FtpClient& c, const char* what) {
  Reply r = c.readReply();
  if (r.code != 226 && r.code != 250) throw FtpError(std::string(what) + " end: " + r.text);
}

int runList(const Options& o) {
  Tally tally;
  long lists = 0;
  std::uint64_t lastLines = 0;
  Clock::time_point start = Clock::now();
  try {
    FtpClient c = loggedIn(o);
    c.expect("CWD " + o.path, 250);
    start = Clock::now();
    do {
      Socket data = c.openPassive();
      c.expect("LIST", 150, 125);
      c.protect(data);
      std::uint64_t lines = 0;
      FtpClient::drain(data, &lines);
      finishTransfer(c, "LIST");
      if (static_cast<long>(lines) < o.expect)
        throw FtpError("LIST gave " + std::to_string(lines) + " lines, expected " + std::to_string(o.expect));
      lastLines = lines;
      ++lists;
    } while (secondsSince(start) < o.seconds);
    c.quit();
  } catch (const FtpError& e) {
    tally.fail(e.what());
  }
  double elapsed = secondsSince(start);
  report("lists=" + std::to_string(lists) + " lines=" + std::to_string(lastLines) + " seconds=" +
             fmt("%.3f", elapsed) + " rate=" + fmt("%.2f", lists / elapsed),
         tally);
  return lists > 0 && tally.failed() == 0 ? 0 : 1;
}

// RETR or STOR of a file of --size bytes, in --streams parts moved at once
// (one part: the whole file). A RETR part after the first starts with REST;
// a part that ends before the file does is cut by closing its data
// connection, as segmented download clients do: its clock stops at its last
// byte, and whatever the server then replies is read untimed. A STOR part is
// a file of its own. The clock runs from the common start to the last part.
int runTransfer(const Options& o, bool upload) {
  Tally tally;
  StartLine line(o.streams);
  std::atomic<std::uint64_t> moved{0};
  std::atomic<int> succeeded{0};
  std::atomic<int> unansweredCuts{0};
  std::atomic<int> resumed{0};
  std::mutex agreedMutex;
  std::string agreed = "none";  // the TLS version and cipher of a control connection
  std::vector<Clock::time_point> ends(static_cast<std::size_t>(o.streams));
  const std::uint64_t part = o.size / static_cast<std::uint64_t>(o.streams);
  Clock::time_point start;
  runThreads(
      o.streams,
      [&](int i) {
        bool arrived = false;
        const bool last = i == o.streams - 1;
        const std::uint64_t offset = part * static_cast<std::uint64_t>(i);
        const std::uint64_t want = last ? o.size - offset : part;
        try {
          FtpClient c = loggedIn(o);
          c.expect("TYPE I", 200);
          std::string name = o.path;
          if (upload) {
            c.expect("CWD " + o.path, 250);
            name = "bench-" + o.tag + "-" + std::to_string(i) + ".bin";
          }
          Socket data = c.openPassive();
          if (c.secured()) {
            std::lock_guard<std::mutex> lock(agreedMutex);
            agreed = c.tlsDescription();
          }
          arrived = true;
          line.arrive();
          line.waitForStart();
          std::uint64_t bytes = want;
          if (upload) {
            c.expect("STOR " + name, 150, 125);
            c.protect(data);
            resumed += data.resumed();
            FtpClient::fill(data, want);
            finishTransfer(c, "STOR");
            ends[static_cast<std::size_t>(i)] = Clock::now();
          } else {
            if (offset > 0) c.expect("REST " + std::to_string(offset), 350);
            c.expect("RETR " + name, 150, 125);
            c.protect(data);
            resumed += data.resumed();
            if (last) {
              bytes = FtpClient::drain(data);
              finishTransfer(c, "RETR");
              ends[static_cast<std::size_t>(i)] = Clock::now();
            } else {
              bytes = FtpClient::drainUpTo(data, want);
              ends[static_cast<std::size_t>(i)] = Clock::now();
              data.reset();
            }
          }
          if (bytes != want)
            throw FtpError("RETR gave " + std::to_string(bytes) + " bytes, expected " + std::to_string(want));
          moved += bytes;
          ++succeeded;
          if (!upload && !last) {
            try {
              c.readReply();  // 426 or 226, whichever the server chooses
            } catch (const FtpError& e) {
              // The part arrived whole; a server that then says nothing is noted, not timed.
              ++unansweredCuts;
              tally.fail(std::string("after a cut part: ") + e.what());
              return;
            }
          }
          // Untimed: the upload is removed so that runs do not fill the disk.
          if (upload) c.expect("DELE " + name, 250);
          c.quit();
        } catch (const FtpError& e) {
          tally.fail(e.what());
          if (!arrived) line.arrive();
        }
      },
      [&] { start = line.release(); });
  Clock::time_point lastEnd = start;
  for (const auto& t : ends) lastEnd = std::max(lastEnd, t);
  double elapsed = std::chrono::duration<double>(lastEnd - start).count();
  bool whole = succeeded.load() == o.streams && moved.load() == o.size;
  report("bytes=" + std::to_string(moved.load()) + " seconds=" + fmt("%.3f", elapsed) +
             " mbps=" + fmt("%.1f", whole && elapsed > 0 ? moved.load() / elapsed / 1e6 : 0) +
             " unanswered_cuts=" + std::to_string(unansweredCuts.load()) + " tls=" + agreed +
             " resumed=" + std::to_string(resumed.load()),
         tally);
  return whole ? 0 : 1;
}

int runSmall(const Options& o) {
  Tally tally;
  long files = 0;
  Clock::time_point start = Clock::now();
  try {
    FtpClient c = loggedIn(o);
    c.expect("TYPE I", 200);
    c.expect("CWD " + o.path, 250);
    start = Clock::now();
    for (long i = 1; i <= o.count; ++i) {
      std::string number = std::to_string(i);
      if (static_cast<int>(number.size()) < o.digits) number.insert(0, o.digits - number.size(), '0');
      std::string name = o.prefix + number + o.suffix;
      Socket data = c.openPassive();
      c.expect("RETR " + name, 150, 125);
      c.protect(data);
      std::uint64_t bytes = FtpClient::drain(data);
      finishTransfer(c, "RETR");
      if (bytes != o.size) throw FtpError(name + ": " + std::to_string(bytes) + " bytes");
      ++files;
    }
    c.quit();
  } catch (const FtpError& e) {
    tally.fail(e.what());
  }
  double elapsed = secondsSince(start);
  report("files=" + std::to_string(files) + " seconds=" + fmt("%.3f", elapsed) +
             " rate=" + fmt("%.1f", files / elapsed),
         tally);
  return files == o.count ? 0 : 1;
}

[[noreturn]] void usage(const std::string& why) {
  std::fprintf(stderr, "ftpload: %s\nusage: ftpload sessions|latency|idle|list|retr|stor|small --port P "
               "--user U --pass W [options]; see the comment at the top of ftpload.cpp\n", why.c_str());
  std::exit(2);
}

long number(const std::string& flag, const char* text, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi)
    usage(flag + " wants a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return v;
}

Options parse(int argc, char** argv) {
  if (argc < 2) usage("no mode");
  Options o;
  o.mode = argv[1];
  for (int i = 2; i < argc; i += 2) {
    std::string flag = argv[i];
    if (i + 1 >= argc) usage(flag + " wants a value");
    const char* v = argv[i + 1];
    if (flag == "--host") o.server.host = v;
    else if (flag == "--port") o.server.port = static_cast<int>(number(flag, v, 1, 65535));
    else if (flag == "--user") o.user = v;
    else if (flag == "--pass") o.password = v;
    else if (flag == "--command") o.command = v;
    else if (flag == "--path") o.path = v;
    else if (flag == "--tag") o.tag = v;
    else if (flag == "--prefix") o.prefix = v;
    else if (flag == "--suffix") o.suffix = v;
    else if (flag == "--digits") o.digits = static_cast<int>(number(flag, v, 1, 12));
    else if (flag == "--clients") o.clients = static_cast<int>(number(flag, v, 1, 4096));
    else if (flag == "--streams") o.streams = static_cast<int>(number(flag, v, 1, 256));
    else if (flag == "--seconds") o.seconds = static_cast<double>(number(flag, v, 1, 3600));
    else if (flag == "--count") o.count = number(flag, v, 1, 100000);
    else if (flag == "--expect") o.expect = number(flag, v, 0, 100000000);
    else if (flag == "--size") o.size = static_cast<std::uint64_t>(number(flag, v, 0, 1L << 40));
    else if (flag == "--timeout-ms") o.timeoutMs = static_cast<int>(number(flag, v, 100, 3600000));
    else if (flag == "--tls") o.tls = number(flag, v, 0, 1) == 1;
    else usage("unknown option " + flag);
  }
  if (o.server.port == 0) usage("--port is required");
  // Control lines carry these as they are: a line break would forge a command.
  for (const std::string* s : {&o.user, &o.password, &o.command, &o.path, &o.tag, &o.prefix, &o.suffix}) {
    if (s->find_first_of("\r\n") != std::string::npos) usage("values may not hold line breaks");
  }
  return o;
}

// Thousands of held sessions need as many descriptors.
void raiseDescriptorLimit() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &r);
  }
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  Options o = parse(argc, argv);
  raiseDescriptorLimit();
  std::unique_ptr<TlsClient> tls;
  if (o.tls) {
    try {
      tls = std::make_unique<TlsClient>();
    } catch (const FtpError& e) {
      usage(e.what());
    }
    o.tlsClient = tls.get();
  }
  if (o.mode == "sessions") return runSessions(o);
  if (o.mode == "latency") return runLatency(o);
  if (o.mode == "idle") {
    if (o.count == 0) usage("idle wants --count");
    return runIdle(o);
  }
  if (o.mode == "list") {
    if (o.path.empty()) usage("list wants --path");
    return runList(o);
  }
  if (o.mode == "retr" || o.mode == "stor") {
    if (o.path.empty()) usage(o.mode + " wants --path");
    return runTransfer(o, o.mode == "stor");
  }
  if (o.mode == "small") {
    if (o.path.empty() || o.count == 0) usage("small wants --path and --count");
    return runSmall(o);
  }
  usage("unknown mode " + o.mode);
}
