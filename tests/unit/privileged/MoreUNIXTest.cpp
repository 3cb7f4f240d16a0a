#include "privileged/MoreUNIX.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Files.h"

using namespace tvl;

namespace {

struct SocketPair {
  int fd[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~SocketPair() {
    closeEnd(0);
    closeEnd(1);
  }
  void closeEnd(int i) {
    if (fd[i] >= 0) ::close(fd[i]);
    fd[i] = -1;
  }
};

int openDescriptorCount() {
  int n = 0;
  for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) (void)e, ++n;
  return n;
}

class MoreUNIX : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0); }
};

std::atomic<int> interruptions{0};
void onInterrupt(int) {
  interruptions.fetch_add(1, std::memory_order_relaxed);
}

// Sends SIGUSR1 (handled without SA_RESTART) to the given threads every 200 µs until it
// goes away, so their blocking calls keep failing with EINTR. Aimed at the threads
// themselves: a process-wide timer's signal may land on a thread that isn't blocked.
class Interrupter {
 public:
  explicit Interrupter(std::vector<pthread_t> targets) : targets_(std::move(targets)) {
    struct sigaction sa = {};
    sa.sa_handler = onInterrupt;  // no SA_RESTART
    sigaction(SIGUSR1, &sa, &old_);
    thread_ = std::thread([this] {
      do {
        for (pthread_t t : targets_) pthread_kill(t, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      } while (!done_);
    });
  }
  ~Interrupter() {
    done_ = true;
    thread_.join();
    sigaction(SIGUSR1, &old_, nullptr);
  }

 private:
  std::vector<pthread_t> targets_;
  struct sigaction old_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace

TEST_F(MoreUNIX, ReadOfZeroBytesSucceedsAtOnce) {
  SocketPair s;
  char c;
  size_t got = 99;
  EXPECT_EQ(MoreUNIXRead(s.fd[0], &c, 0, &got), 0);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(MoreUNIXWrite(s.fd[0], &c, 0, &got), 0);
  EXPECT_EQ(got, 0u);
}

TEST_F(MoreUNIX, StreamEndingEarlyGivesEPIPEWithTheBytesThatCame) {
  SocketPair s;
  ASSERT_EQ(::write(s.fd[1], "abc", 3), 3);
  s.closeEnd(1);
  char buf[10];
  size_t got = 0;
  EXPECT_EQ(MoreUNIXRead(s.fd[0], buf, sizeof buf, &got), EPIPE);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST_F(MoreUNIX, InterruptedReadsAndWritesStillComplete) {
  SocketPair s;
  const size_t size = 4 << 20;  // larger than the socket buffer: the writer blocks often
  std::string out(size, '\0');
  std::mt19937 rng(1);
  for (auto& c : out) c = static_cast<char>(rng());
  std::string in(size, '\0');
  int writeResult = -1;
  size_t written = 0;
  std::atomic<bool> go{false};
  std::thread writer([&] {
    while (!go) std::this_thread::yield();
    writeResult = MoreUNIXWrite(s.fd[1], out.data(), out.size(), &written);
  });
  int readResult;
  size_t got = 0;
  {
    Interrupter interrupter({pthread_self(), writer.native_handle()});
    go = true;
    readResult = MoreUNIXRead(s.fd[0], in.data(), in.size(), &got);
    ::shutdown(s.fd[0], SHUT_RDWR);  // a reader that gave up must not leave the writer stuck
    writer.join();
  }
  EXPECT_GT(interruptions, 0);  // the calls really were interrupted along the way
  EXPECT_EQ(writeResult, 0);
  EXPECT_EQ(readResult, 0);
  EXPECT_EQ(written, size);
  EXPECT_EQ(got, size);
  EXPECT_TRUE(in == out);
}

TEST_F(MoreUNIX, WritingToAClosedPeerGivesEPIPEAndTheProcessLives) {
  SocketPair s;
  s.closeEnd(0);
  char buf[100] = {};
  size_t written = 99;
  EXPECT_EQ(MoreUNIXWrite(s.fd[1], buf, sizeof buf, &written), EPIPE);
  EXPECT_EQ(written, 0u);
}

TEST(MoreUNIXDeathTest, WriteRequiresSIGPIPEToBeIgnoredEvenForZeroBytes) {
  EXPECT_DEATH(
      {
        signal(SIGPIPE, SIG_DFL);
        char c = 0;
        MoreUNIXWrite(1, &c, 0, nullptr);
      },
      "MoreUNIX.cpp:[0-9]+: failed assertion `current.sa_handler == SIG_IGN'\n");
}

TEST(MoreUNIXDeathTest, PreconditionsAbortWithOneLine) {
  char c;
  EXPECT_DEATH(MoreUNIXRead(-1, &c, 1, nullptr), "failed assertion `fd >= 0'\n");
  int fd = 5;
  EXPECT_DEATH(MoreUNIXReadDescriptor(0, &fd), "failed assertion `\\*fdRead == -1'\n");
}

TEST_F(MoreUNIX, IgnoreSIGPIPEKeepsTheMaskAndFlags) {
  struct sigaction sa = {};
  sa.sa_handler = SIG_DFL;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGUSR1);
  ASSERT_EQ(sigaction(SIGPIPE, &sa, nullptr), 0);
  ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
  struct sigaction now;
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  EXPECT_TRUE(now.sa_flags & SA_RESTART);
  EXPECT_TRUE(sigismember(&now.sa_mask, SIGUSR1));
}

TEST_F(MoreUNIX, ADescriptorPassesToAnotherProcessAndStaysOpenInBoth) {
  SocketPair s;
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  pid_t child = ::fork();
  if (child == 0) {
    // The child sends its pipe's write end, then writes through its own copy too.
    ::close(pipeFds[0]);
    int r = MoreUNIXWriteDescriptor(s.fd[1], pipeFds[1]);
    ssize_t w = ::write(pipeFds[1], "child", 5);
    ::_exit(r == 0 && w == 5 ? 0 : 1);
  }
  ::close(pipeFds[1]);
  int received = -1;
  ASSERT_EQ(MoreUNIXReadDescriptor(s.fd[0], &received), 0);
  ASSERT_GE(received, 0);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(::write(received, "parent", 6), 6);
  ::close(received);
  char buf[32] = {};
  size_t got = 0;
  EXPECT_EQ(MoreUNIXRead(pipeFds[0], buf, sizeof buf, &got), EPIPE);
  EXPECT_EQ(std::string(buf, got), "childparent");
  ::close(pipeFds[0]);
}

TEST_F(MoreUNIX, MalformedDescriptorMessagesAreRefusedWithoutLeaks) {
  auto sendRaw = [](int fd, char data, std::initializer_list<int> fds) {
    struct iovec iov = {&data, 1};
    union {
      char buf[CMSG_SPACE(sizeof(int) * 4)];
      struct cmsghdr align;
    } control = {};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (fds.size()) {
      msg.msg_control = control.buf;
      msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
      struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
      std::memcpy(CMSG_DATA(c), fds.begin(), sizeof(int) * fds.size());
    }
    ASSERT_EQ(::sendmsg(fd, &msg, 0), 1);
  };
  int before = openDescriptorCount();
  struct Case {
    const char* what;
    char data;
    std::initializer_list<int> fds;
  };
  for (const Case& c : {Case{"wrong data byte", 'X', {0}}, Case{"no descriptor", 'D', {}},
                        Case{"two descriptors", 'D', {0, 1}}}) {
    SocketPair s;
    sendRaw(s.fd[1], c.data, c.fds);
    int fd = -1;
    EXPECT_EQ(MoreUNIXReadDescriptor(s.fd[0], &fd), EINVAL) << c.what;
    EXPECT_EQ(fd, -1) << c.what;
  }
  EXPECT_EQ(openDescriptorCount(), before);
  SocketPair closed;
  closed.closeEnd(1);
  int fd = -1;
  EXPECT_EQ(MoreUNIXReadDescriptor(closed.fd[0], &fd), EPIPE);
  EXPECT_EQ(fd, -1);
}

class MoreUNIXCopy : public MoreUNIX {
 protected:
  testsupport::TempDir dir;
  std::string path(const char* name) { return (dir.path() / name).string(); }
  void writeFile(const std::string& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
  }
  std::string readFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
};

TEST_F(MoreUNIXCopy, ModeLosesSetIdBitsAndTimesKeepMicroseconds) {
  std::string src = path("src"), dst = path("dst");
  writeFile(src, "tool");
  ASSERT_EQ(::chmod(src.c_str(), 04755), 0);
  struct timespec times[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
  ASSERT_EQ(::utimensat(AT_FDCWD, src.c_str(), times, 0), 0);
  mode_t old = ::umask(022);
  EXPECT_EQ(MoreUNIXCopyFile(src.c_str(), dst.c_str()), 0);
  ::umask(old);
  struct stat st;
  ASSERT_EQ(::stat(dst.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
  EXPECT_EQ(st.st_atim.tv_nsec, 123456000);
  EXPECT_EQ(st.st_mtim.tv_sec, 1100000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 987654000);
  EXPECT_EQ(readFile(dst), "tool");
}

TEST_F(MoreUNIXCopy, ContentOfEveryChunkShapeArrivesWhole) {
  std::mt19937 rng(7);
  for (size_t size : {size_t{0}, size_t{1}, kBufferSize - 1, kBufferSize, kBufferSize + 1,
                      3 * kBufferSize + 17}) {
    std::string content(size, '\0');
    for (auto& c : content) c = static_cast<char>(rng());
    std::string src = path("src"), dst = path("dst");
    writeFile(src, content);
    std::filesystem::remove(dst);
    ASSERT_EQ(MoreUNIXCopyFile(src.c_str(), dst.c_str()), 0) << size;
    EXPECT_TRUE(readFile(dst) == content) << size;
  }
}

TEST_F(MoreUNIXCopy, ExistingDestIsTruncatedAndKeepsItsMode) {
  std::string src = path("src"), dst = path("dst");
  writeFile(src, "new");
  ::chmod(src.c_str(), 0755);
  writeFile(dst, "much longer old content");
  ::chmod(dst.c_str(), 0600);
  EXPECT_EQ(MoreUNIXCopyFile(src.c_str(), dst.c_str()), 0);
  struct stat st;
  ::stat(dst.c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(readFile(dst), "new");
}

TEST_F(MoreUNIXCopy, FailuresReturnTheSystemsErrorAndCloseWhatWasOpened) {
  int before = openDescriptorCount();
  EXPECT_EQ(MoreUNIXCopyFile(path("missing").c_str(), path("dst").c_str()), ENOENT);
  writeFile(path("src"), "x");
  EXPECT_EQ(MoreUNIXCopyFile(path("src").c_str(), path("no/dir/dst").c_str()), ENOENT);
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST(MoreUNIXWait, NoFinishedChildWithWNOHANGGivesEAGAINAndPidMinusOne) {
  testsupport::ChildProcess sleeper({"/bin/sleep", "30"});
  pid_t pid = 12345;
  EXPECT_EQ(MoreUNIXWaitForProcess(sleeper.pid(), WNOHANG, &pid, nullptr, nullptr), EAGAIN);
  EXPECT_EQ(pid, -1);
}

TEST(MoreUNIXWait, WaitsForTheChildAndReportsItsStatus) {
  pid_t child = ::fork();
  if (child == 0) ::_exit(3);
  pid_t pid = -1;
  int status = 0;
  struct rusage usage;
  EXPECT_EQ(MoreUNIXWaitForProcess(child, 0, &pid, &status, &usage), 0);
  EXPECT_EQ(pid, child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(MoreUNIXWaitForProcess(child, 0, &pid, nullptr, nullptr), ECHILD);
  EXPECT_EQ(pid, -1);
}

TEST(MoreGetExecutablePath, SaysTheSizeNeededThenFills) {
  char expected[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
  char small[4];
  uint32_t size = sizeof small;
  EXPECT_EQ(MoreGetExecutablePath(small, &size), -1);
  EXPECT_EQ(size, std::strlen(expected) + 1);
  std::string buffer(size, 'x');
  EXPECT_EQ(MoreGetExecutablePath(buffer.data(), &size), 0);
  EXPECT_STREQ(buffer.c_str(), expected);
}
