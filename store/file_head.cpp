#include "store/file_head.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/owners.h"

namespace {

// Reads of at most this much go through the ring; the staging buffer below
// is where the kernel writes, so that a read still in flight after a failed
// wait can never land in a caller's buffer that is gone.
constexpr std::size_t staging_size = 8192;

// One file slot of the ring's own table: the open puts the file there, the
// read and the close name it. The file never gets a descriptor of the process.
constexpr unsigned file_slot = 0;

enum op : unsigned { op_open, op_read, op_close, op_count };

// Calls to the ring for one read before it is given up (each one either
// makes progress or is interrupted).
constexpr int max_rounds = 100;

class head_ring {
 public:
  head_ring() = default;
  head_ring(const head_ring&) = delete;
  head_ring& operator=(const head_ring&) = delete;
  ~head_ring() {
    // After a failed wait the kernel may still write to the staging buffer:
    // the ring is then left open, with its maps, until the process ends.
    if (abandoned_) {
      (void)fd_.release();
      (void)staging_.release();
      return;
    }
    if (sqes_) ::munmap(sqes_, sqes_size_);
    if (ring_) ::munmap(ring_, ring_size_);
  }

  bool usable() {
    if (state_ == unknown) state_ = setup() ? ready : refused;
    return state_ == ready;
  }

  // The read's result (count or -errno); the open's -errno when it failed.
  // false when the ring itself failed: it is then given up for good.
  bool read(const char* path, std::size_t cap, ssize_t& result) {
    const unsigned tail = sq_tail_->load(std::memory_order_relaxed);
    io_uring_sqe* s[op_count];
    for (unsigned k = 0; k < op_count; ++k) {
      const unsigned index = (tail + k) & sq_mask_;
      sq_array_[index] = index;
      s[k] = &sqes_[index];
      std::memset(s[k], 0, sizeof *s[k]);
      s[k]->user_data = k;
    }
    s[op_open]->opcode = IORING_OP_OPENAT;
    s[op_open]->fd = AT_FDCWD;
    s[op_open]->addr = reinterpret_cast<std::uintptr_t>(path);
    s[op_open]->open_flags = O_RDONLY | O_NONBLOCK;  // a slot of the ring is never inherited
    s[op_open]->file_index = file_slot + 1;
    s[op_open]->flags = IOSQE_IO_LINK;  // no file, no read and no close
    s[op_read]->opcode = IORING_OP_READ;
    s[op_read]->fd = file_slot;
    s[op_read]->addr = reinterpret_cast<std::uintptr_t>(staging_.get());
    s[op_read]->len = static_cast<unsigned>(cap);
    s[op_read]->off = 0;
    // A failed or short read would cut the chain; the close must still run.
    s[op_read]->flags = IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
    s[op_close]->opcode = IORING_OP_CLOSE;
    s[op_close]->file_index = file_slot + 1;
    sq_tail_->store(tail + op_count, std::memory_order_release);

    int res[op_count] = {-ECANCELED, -ECANCELED, -ECANCELED};
    unsigned done = 0;
    // The kernel waits only once it has taken every request; what it has not
    // taken yet (an interrupted or partial submission) is offered again.
    for (int rounds = 0; done < op_count; ++rounds) {
      const unsigned to_submit = tail + op_count - sq_head_->load(std::memory_order_acquire);
      const long n = rounds < max_rounds ? ::syscall(__NR_io_uring_enter, fd_.get(), to_submit, op_count - done,
                                                     IORING_ENTER_GETEVENTS, nullptr, 0)
                                         : -1;
      if (n < 0 && (errno != EINTR || rounds >= max_rounds)) {
        state_ = refused;
        abandoned_ = true;
        return false;
      }
      unsigned head = cq_head_->load(std::memory_order_relaxed);
      const unsigned end = cq_tail_->load(std::memory_order_acquire);
      for (; head != end; ++head) {
        const io_uring_cqe& c = cqes_[head & cq_mask_];
        if (c.user_data < op_count) {
          res[c.user_data] = c.res;
          ++done;
        }
      }
      cq_head_->store(head, std::memory_order_release);
    }
    if (res[op_open] < 0) {
      // An open the ring cannot do (an unknown request) gives the ring up;
      // a file that is missing or not openable is an answer.
      if (res[op_open] == -EINVAL || res[op_open] == -EOPNOTSUPP) {
        state_ = refused;
        return false;
      }
      result = res[op_open];
      return true;
    }
    if (res[op_close] < 0 && res[op_close] != -ECANCELED) {
      state_ = refused;  // the slot may still be taken
      return false;
    }
    result = res[op_read];
    return true;
  }

  const char* staging() const { return staging_.get(); }

 private:
  enum { unknown, ready, refused } state_ = unknown;
  bool abandoned_ = false;
  void* ring_ = nullptr;
  std::size_t ring_size_ = 0;
  std::size_t sqes_size_ = 0;

  bool setup() {
    staging_.reset(new (std::nothrow) char[staging_size]);
    if (!staging_) return false;
    io_uring_params p{};
    unique_fd fd(static_cast<int>(::syscall(__NR_io_uring_setup, 4, &p)));
    if (!fd) return false;
    if (!(p.features & IORING_FEAT_SINGLE_MMAP)) return false;  // kernels before 5.4
    const std::size_t sq_size = p.sq_off.array + p.sq_entries * sizeof(unsigned);
    const std::size_t cq_size = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
    const std::size_t ring_size = sq_size > cq_size ? sq_size : cq_size;
    void* ring = ::mmap(nullptr, ring_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd.get(),
                        IORING_OFF_SQ_RING);
    if (ring == MAP_FAILED) return false;
    void* sqes = ::mmap(nullptr, p.sq_entries * sizeof(io_uring_sqe), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_POPULATE, fd.get(), IORING_OFF_SQES);
    if (sqes == MAP_FAILED) {
      ::munmap(ring, ring_size);
      return false;
    }
    // The table holding the one slot the reads use.
    io_uring_rsrc_register files{};
    files.nr = 1;
    files.flags = IORING_RSRC_REGISTER_SPARSE;
    if (::syscall(__NR_io_uring_register, fd.get(), IORING_REGISTER_FILES2, &files, sizeof files) != 0) {
      ::munmap(sqes, p.sq_entries * sizeof(io_uring_sqe));
      ::munmap(ring, ring_size);
      return false;
    }
    char* base = static_cast<char*>(ring);
    sq_tail_ = reinterpret_cast<std::atomic<unsigned>*>(base + p.sq_off.tail);
    sq_head_ = reinterpret_cast<std::atomic<unsigned>*>(base + p.sq_off.head);
    sq_mask_ = *reinterpret_cast<unsigned*>(base + p.sq_off.ring_mask);
    sq_array_ = reinterpret_cast<unsigned*>(base + p.sq_off.array);
    cq_head_ = reinterpret_cast<std::atomic<unsigned>*>(base + p.cq_off.head);
    cq_tail_ = reinterpret_cast<std::atomic<unsigned>*>(base + p.cq_off.tail);
    cq_mask_ = *reinterpret_cast<unsigned*>(base + p.cq_off.ring_mask);
    cqes_ = reinterpret_cast<io_uring_cqe*>(base + p.cq_off.cqes);
    sqes_ = static_cast<io_uring_sqe*>(sqes);
    ring_ = ring;
    ring_size_ = ring_size;
    sqes_size_ = p.sq_entries * sizeof(io_uring_sqe);
    fd_ = std::move(fd);
    return true;
  }

  unique_fd fd_;
  std::atomic<unsigned>* sq_tail_ = nullptr;
  std::atomic<unsigned>* sq_head_ = nullptr;
  unsigned sq_mask_ = 0;
  unsigned* sq_array_ = nullptr;
  std::atomic<unsigned>* cq_head_ = nullptr;
  std::atomic<unsigned>* cq_tail_ = nullptr;
  unsigned cq_mask_ = 0;
  io_uring_cqe* cqes_ = nullptr;
  io_uring_sqe* sqes_ = nullptr;
  // On the heap, so that it can outlive an abandoned ring's thread.
  std::unique_ptr<char[]> staging_;
};

// One per thread: a ring is fed by one thread at a time.
thread_local head_ring ring;
thread_local bool ring_allowed = true;

ssize_t plain_head(const char* path, char* buf, std::size_t cap) {
  unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return -1;
  for (;;) {
    const ssize_t r = ::pread(fd.get(), buf, cap, 0);
    if (r >= 0 || errno != EINTR) return r;
  }
}

}  // namespace

ssize_t read_file_head(const char* path, char* buf, std::size_t cap) {
  if (cap <= staging_size && ring_allowed && ring.usable()) {
    ssize_t r = 0;
    if (ring.read(path, cap, r)) {
      if (r < 0) {
        errno = static_cast<int>(-r);
        return -1;
      }
      std::memcpy(buf, ring.staging(), static_cast<std::size_t>(r));
      return r;
    }
  }
  return plain_head(path, buf, cap);
}

bool start_file_head_ring() { return ring.usable(); }

bool file_head_uses_ring() { return ring_allowed && ring.usable(); }

bool allow_file_head_ring(bool allowed) {
  const bool previous = ring_allowed;
  ring_allowed = allowed;
  return previous;
}
