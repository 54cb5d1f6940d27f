// SYNC=1&: no reply leaves before the sync that covers its request. The
// sync goes through the store's write seam, whose hook looks at the clients'
// ends of the connections: at the moment of the sync none may hold a reply.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "base/text.h"
#include "server/config.h"
#include "server/jobs.h"
#include "server/reply_batch.h"
#include "server/sync_worker.h"
#include "store/durable.h"
#include "store/settings.h"
#include "store/write_seam.h"
#include "tests/support/scratch_settings.h"

namespace {

struct sync_watch {
  std::vector<int> clients;     // the clients' ends
  int syncs = 0;
  int replies_before_sync = 0;  // replies readable when a sync ran
  bool fail = false;
};
sync_watch watch;

bool readable(int fd) {
  char byte;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

int look_at_clients() {
  for (int c : watch.clients)
    if (readable(c)) ++watch.replies_before_sync;
  if (watch.fail) {
    errno = EIO;
    return -1;
  }
  return 0;
}
int watching_sync_fs(int) {
  ++watch.syncs;
  return look_at_clients();
}


class SyncOrder : public testing_support::scratch_settings {
 protected:
  void SetUp() override {
    scratch_settings::SetUp();
    watch = sync_watch{};
    sync_writes = 1;
    store_ops().sync_fs = watching_sync_fs;
    open_sync_targets();
  }
  void TearDown() override {
    for (int c : watch.clients) ::close(c);
    reset_store_write_ops();
    forget_sync_targets();
    scratch_settings::TearDown();
  }
  // A connection: the server's end, the client's end kept in watch.
  int connection() {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    watch.clients.push_back(sv[1]);
    return sv[0];
  }
  static std::string reply_of(int client) {
    std::string got(fmt::frame_size, '\0');
    std::size_t have = 0;
    while (have < got.size()) {
      ssize_t n = ::recv(client, got.data() + have, got.size() - have, MSG_DONTWAIT);
      if (n <= 0) break;
      have += static_cast<std::size_t>(n);
    }
    got.resize(have);
    return got;
  }
};

TEST_F(SyncOrder, TheRepliesOfATurnShareOneSyncAndLeaveOnlyAfterIt) {
  reply_batch batch;
  std::vector<std::string> frames;
  for (int i = 0; i < 3; ++i) {
    note_written_file("DISK/LIST/list_pesel_obj.q", i == 2);
    std::string frame(fmt::frame_size, static_cast<char>('a' + i));
    frames.push_back(frame);
    batch.hold(connection(), reinterpret_cast<const unsigned char*>(frame.data()));
  }
  for (int c : watch.clients) EXPECT_FALSE(readable(c)) << "a held reply left before the sync";
  batch.release();
  EXPECT_EQ(watch.syncs, 1) << "one sync for the whole turn (one file system here)";
  EXPECT_EQ(watch.replies_before_sync, 0);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(reply_of(watch.clients[i]), frames[i]);

  // A turn of queries only wrote nothing: no sync, the reply at once.
  batch.hold(connection(), reinterpret_cast<const unsigned char*>(frames[0].data()));
  batch.release();
  EXPECT_EQ(watch.syncs, 1);
  EXPECT_EQ(reply_of(watch.clients.back()), frames[0]);
}

TEST_F(SyncOrder, TheSyncThreadReleasesABatchOnlyAfterItsSync) {
  int epfd = ::epoll_create1(EPOLL_CLOEXEC);
  ASSERT_GE(epfd, 0);
  {
    sync_worker worker(epfd);
    reply_batch batch;
    std::string frame(fmt::frame_size, 'w');
    for (int i = 0; i < 2; ++i) batch.hold(connection(), reinterpret_cast<const unsigned char*>(frame.data()));
    note_written_file("DISK/PESEL/x", true);
    worker.submit(batch);
    EXPECT_TRUE(batch.empty());
    EXPECT_TRUE(worker.busy());
    epoll_event ev;
    ASSERT_EQ(::epoll_wait(epfd, &ev, 1, 10000), 1) << "the sync never finished";
    EXPECT_TRUE(worker.is_done_event(ev.data.fd));
    for (int c : watch.clients) EXPECT_FALSE(readable(c)) << "sent before the loop took the result";
    worker.finished();
    EXPECT_FALSE(worker.busy());
    EXPECT_EQ(watch.syncs, 1);
    EXPECT_EQ(watch.replies_before_sync, 0);
    for (int c : watch.clients) EXPECT_EQ(reply_of(c), frame);
  }
  ::close(epfd);
}

TEST_F(SyncOrder, AFailedSyncSendsNoReplyAndClosesTheConnections) {
  watch.fail = true;
  note_unlisted_writes();
  reply_batch batch;
  std::string frame(fmt::frame_size, 'r');
  batch.hold(connection(), reinterpret_cast<const unsigned char*>(frame.data()));
  batch.release();
  EXPECT_EQ(watch.syncs, 1);
  char byte;
  EXPECT_EQ(::recv(watch.clients[0], &byte, 1, MSG_DONTWAIT), 0) << "closed without a reply";
}

TEST_F(SyncOrder, AJobAnsweredOnItsOwnSyncsBeforeItsReply) {
  job j;
  j.fd = connection();
  copy_text(j.peer, "127.0.0.1");
  // Refused before it writes (no NICK): the operation alone decides.
  copy_text(j.message, "OP=log_adm&PESEL=44051401359&");
  answer_job(j);
  EXPECT_EQ(watch.syncs, 1) << "the administrators' log is written beside the store";
  EXPECT_EQ(watch.replies_before_sync, 0);
  EXPECT_EQ(reply_of(watch.clients[0]).size(), fmt::frame_size);
}

TEST_F(SyncOrder, TheSyncLineSwitchesItOnAndAConfigurationWithoutItDoesNot) {
  struct row {
    const char* line;
    int expected;
  } rows[] = {{"SYNC=1&", 1}, {"SYNC=0&", 0}, {"SYNC=yes&", 0}, {"# SYNC=1&", 0}};
  for (const row& r : rows) {
    sync_writes = 7;
    apply_config_line(r.line);
    EXPECT_EQ(sync_writes, r.line[0] == '#' ? 7 : r.expected) << r.line;
  }
  sync_writes = 0;
  apply_config_line("PORT_CENTRAL=9000&");
  EXPECT_EQ(sync_writes, 0) << "no other line sets it";
}

}  // namespace
