#include "tests/support/loop_mount.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testing_support {

namespace {

std::string error_text() { return std::strerror(errno); }

// The command's output and exit status through a shell that also looks in
// the system folders, which a non-root PATH often leaves out.
int run_command(const std::string& command, std::string& output) {
  unique_pipe p(::popen(("PATH=\"$PATH:/usr/sbin:/sbin\"; " + command + " 2>&1").c_str(), "r"));
  if (!p) return -1;
  char buf[512];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p.get())) > 0;) output.append(buf, n);
  return p.close();
}

bool all_zero(const char* data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (data[i] != 0) return false;
  return true;
}

}  // namespace

std::string make_ext4_image(const std::string& image, int size_mib) {
  std::string out;
  if (run_command("command -v mkfs.ext4", out) != 0) return "no mkfs.ext4 here";
  {
    unique_fd f(::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!f || ::ftruncate(f.get(), static_cast<off_t>(size_mib) << 20) != 0)
      return "cannot make " + image + ": " + error_text();
  }
  out.clear();
  if (run_command("mkfs.ext4 -q -F '" + image + "'", out) != 0) return "mkfs.ext4 failed: " + out;
  return "";
}

bool copy_image(const std::string& from, const std::string& to) {
  unique_fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  unique_fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!in || !out) return false;
  std::vector<char> buf(1 << 20);
  off_t size = 0;
  for (;;) {
    ssize_t n = ::read(in.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    const auto len = static_cast<std::size_t>(n);
    if (all_zero(buf.data(), len)) {
      if (::lseek(out.get(), n, SEEK_CUR) < 0) return false;
    } else {
      for (std::size_t done = 0; done < len;) {
        ssize_t w = ::write(out.get(), buf.data() + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<std::size_t>(w);
      }
    }
    size += n;
  }
  return ::ftruncate(out.get(), size) == 0;
}

std::string loop_mount::mount(const std::string& image, const std::string& at, const std::string& options) {
  unique_fd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (!control) return "cannot open /dev/loop-control (" + error_text() + ")";
  unique_fd file(::open(image.c_str(), O_RDWR | O_CLOEXEC));
  if (!file) return "cannot open " + image + " (" + error_text() + ")";
  std::string device;
  // Another program may take the free device between the two calls: ask again.
  for (int tries = 0; tries < 20 && !loop_; ++tries) {
    const int n = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
    if (n < 0) return "no free loop device (" + error_text() + ")";
    device = "/dev/loop" + std::to_string(n);
    unique_fd dev(::open(device.c_str(), O_RDWR | O_CLOEXEC));
    if (!dev) return "cannot open " + device + " (" + error_text() + ")";
    // Autoclear: the device lets the image go on its own once nothing holds it.
    loop_config config{};
    config.fd = static_cast<__u32>(file.get());
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    if (::ioctl(dev.get(), LOOP_CONFIGURE, &config) == 0)
      loop_ = std::move(dev);
    else if (errno != EBUSY)
      return "cannot attach " + image + " to " + device + " (" + error_text() + ")";
  }
  if (!loop_) return "every free loop device was taken meanwhile";
  if (::mount(device.c_str(), at.c_str(), "ext4", 0, options.c_str()) != 0) {
    std::string why = "cannot mount " + device + " on " + at + " (" + error_text() + ")";
    release();
    return why;
  }
  at_ = at;
  return "";
}

bool loop_mount::release() {
  bool let_go = true;
  if (!at_.empty()) {
    let_go = false;
    // A process just ended may still hold files there for a moment.
    for (int tries = 0; tries < 100 && !let_go; ++tries) {
      if (::umount2(at_.c_str(), 0) == 0 || errno == EINVAL || errno == ENOENT)
        let_go = true;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!let_go) ::umount2(at_.c_str(), MNT_DETACH);
    at_.clear();
  }
  if (loop_) {
    ::ioctl(loop_.get(), LOOP_CLR_FD);  // fails harmlessly when autoclear was first
    loop_.reset();
  }
  return let_go;
}

loop_mount::~loop_mount() { release(); }

}  // namespace testing_support
