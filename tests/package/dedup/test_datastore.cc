// The persistent datastore: preparation, batched writes, the info file,
// restarts, the ring and its eviction, bloom filter upkeep, bad settings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "dedup/persistentcache.hh"
#include "dedup/whasher.hh"
#include "dedup_test_util.hh"

namespace {

constexpr unsigned W = 330;
constexpr unsigned REC = 338;

Bytes chunk_of(uint32_t seed) { return random_bytes(W, seed); }
uint64_t fp_of(const Bytes& c) { return WHasher::hash(c.data(), c.size()); }

void queue_chunks(PersistentCache* pc, uint32_t first, uint32_t count) {
  for (uint32_t i = first; i < first + count; ++i) {
    Bytes c = chunk_of(i);
    pc->queue(fp_of(c), c.data());
  }
}

off_t file_size(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

// Every index entry names a record that holds that fingerprint.
void expect_index_consistent(PersistentCache* pc) {
  uint64_t checked = 0;
  uint8_t rec[REC];
  for (uint64_t r = 0; r < pc->file_records(); ++r) {
    ASSERT_EQ(pread(pc->fd(), rec, REC, static_cast<off_t>(r * REC)), static_cast<ssize_t>(REC));
    uint64_t fp = 0;
    for (int i = 7; i >= 0; --i) fp = (fp << 8) | rec[i];
    if (pc->index().find(fp) == static_cast<int32_t>(r)) ++checked;
  }
  EXPECT_EQ(checked, pc->index().size()) << "index entries naming records that do not hold them";
}

}  // namespace

TEST(DedupDatastore, NewStoreBatchesWritesAndAnswersLookups) {
  TempDir dir;
  MessageCapture cap;
  auto e = open_engine(dir.path() + "/sub/dir", 1);  // missing directories are created
  ASSERT_TRUE(e->ds_ready());
  PersistentCache* pc = e->impl()->cache();
  EXPECT_EQ(pc->write_position(), 0u);
  EXPECT_EQ(pc->capacity(), 1048576u / REC);
  EXPECT_TRUE(cap.contains("Debug : Starting Quilo Byte-Cache v1.08\n"));
  EXPECT_TRUE(cap.contains("Debug : Prepare Ready: " + dir.path() + "/sub/dir/peer1\n"));
  std::string file = WDedup::datastore_path(dir.path() + "/sub/dir", 1);

  queue_chunks(pc, 1, 2);
  e->writedisk();
  EXPECT_EQ(file_size(file), 0);  // one or two queued: nothing written
  EXPECT_EQ(pc->pending_count(), 2u);
  // Queued chunks are found before they reach the disk.
  Bytes c1 = chunk_of(1);
  const uint8_t* got = pc->lookup(fp_of(c1));
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(0, std::memcmp(got, c1.data(), W));

  queue_chunks(pc, 3, 1);
  e->writedisk();
  EXPECT_EQ(file_size(file), 3 * REC);
  EXPECT_EQ(pc->write_position(), 3u);
  EXPECT_EQ(e->get_slot(), 3u);
  EXPECT_EQ(pc->index().find(fp_of(chunk_of(2))), 1);
  got = pc->lookup(fp_of(chunk_of(3)));
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(0, std::memcmp(got, chunk_of(3).data(), W));
  EXPECT_EQ(pc->lookup(12345), nullptr);

  // The queue never overflows: the 101st chunk flushes the first hundred.
  queue_chunks(pc, 100, 101);
  EXPECT_EQ(pc->pending_count(), 1u);
  EXPECT_EQ(pc->write_position(), 103u);
  e->writedisk();
  EXPECT_EQ(pc->pending_count(), 1u);
  for (uint32_t i = 100; i < 200; ++i) ASSERT_NE(pc->lookup(fp_of(chunk_of(i))), nullptr);
}

TEST(DedupDatastore, CommittedRecordsAreReadFromTheBufferUntilWritten) {
  TempDir dir;
  MessageCapture cap;
  std::string file = WDedup::datastore_path(dir.path(), 3);
  auto expect_stored = [](PersistentCache* pc, uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) {
      const uint8_t* got = pc->lookup(fp_of(chunk_of(i)));
      ASSERT_NE(got, nullptr) << i;
      EXPECT_EQ(0, std::memcmp(got, chunk_of(i).data(), W)) << i;
    }
  };
  {
    auto e = open_engine(dir.path(), 3);
    PersistentCache* pc = e->impl()->cache();
    queue_chunks(pc, 1, 5);
    e->commit();
    EXPECT_EQ(file_size(file), 0);
    EXPECT_EQ(pc->buffered_count(), 5u);
    EXPECT_EQ(pc->pending_count(), 0u);
    expect_stored(pc, 1, 6);
    e->writedisk();
    EXPECT_EQ(file_size(file), 5 * REC);
    queue_chunks(pc, 6, 3);
    e->commit();
    EXPECT_EQ(file_size(file), 5 * REC);
    // Reads ahead stop where the buffer starts.
    pc->read_ahead(true);
    expect_stored(pc, 1, 9);
    pc->read_ahead(false);
  }  // shutdown writes what is still buffered
  EXPECT_EQ(file_size(file), 8 * REC);
  EXPECT_EQ(read_file(file + ".info"), "SLOT 8");
  auto e = open_engine(dir.path(), 3);
  expect_stored(e->impl()->cache(), 1, 9);
}

TEST(DedupDatastore, InfoFileParsing) {
  EXPECT_EQ(WDedupImpl::parse_slot("SLOT 1234", 9), 1234);
  EXPECT_EQ(WDedupImpl::parse_slot("SLOT 1234", 7), 12);  // only the bytes read
  EXPECT_EQ(WDedupImpl::parse_slot("XXXX 77", 7), 77);     // the prefix is not compared
  EXPECT_EQ(WDedupImpl::parse_slot("SLOT ", 5), 0);
  EXPECT_EQ(WDedupImpl::parse_slot("SLOT 0", 6), 0);
  EXPECT_EQ(WDedupImpl::parse_slot("SLOT -5", 7), 0);
  EXPECT_EQ(WDedupImpl::parse_slot("SLOT abc", 8), 0);
  EXPECT_EQ(WDedupImpl::parse_slot("SLOT 99999999999", 16), 0);
  EXPECT_EQ(WDedupImpl::parse_slot("SLOT 42\n", 8), 42);
}

TEST(DedupDatastore, RestartResumesAtSavedSlotAndLaterRecordsWin) {
  TempDir dir;
  MessageCapture cap;
  std::string file = WDedup::datastore_path(dir.path(), 2);
  {
    auto e = open_engine(dir.path(), 2);
    PersistentCache* pc = e->impl()->cache();
    queue_chunks(pc, 1, 10);
    e->writedisk();
    queue_chunks(pc, 1, 3);  // the same fingerprints again, in records 10..12
    e->writedisk();
    EXPECT_EQ(e->get_slot(), 13u);
  }
  EXPECT_EQ(read_file(file + ".info"), "SLOT 13");
  EXPECT_EQ(file_size(file), 13 * REC);
  {
    auto e = open_engine(dir.path(), 2);
    PersistentCache* pc = e->impl()->cache();
    EXPECT_EQ(pc->write_position(), 13u);
    EXPECT_EQ(pc->index().find(fp_of(chunk_of(1))), 10);  // later record wins
    EXPECT_EQ(pc->index().size(), 10u);
  }
  // A saved slot inside the file: writing resumes there, and the records it
  // overwrites leave the index first.
  write_file(file + ".info", "SLOT 4");
  {
    auto e = open_engine(dir.path(), 2);
    EXPECT_TRUE(cap.contains("Debug : Init " + file + " 4\n"));
    PersistentCache* pc = e->impl()->cache();
    EXPECT_EQ(pc->write_position(), 4u);
    EXPECT_EQ(e->get_slot(), 4u);
    queue_chunks(pc, 50, 3);
    e->writedisk();
    EXPECT_EQ(pc->write_position(), 7u);
    for (uint32_t i = 5; i <= 7; ++i) EXPECT_EQ(pc->lookup(fp_of(chunk_of(i))), nullptr) << i;
    EXPECT_NE(pc->lookup(fp_of(chunk_of(4))), nullptr);
    EXPECT_NE(pc->lookup(fp_of(chunk_of(51))), nullptr);
    expect_index_consistent(pc);
  }
  // A saved slot beyond the last record is ignored; so are bad info files.
  for (std::string info : {"SLOT 500", "SLOT -3", "SLO", "SLOT x1"}) {
    write_file(file + ".info", info);
    auto e = open_engine(dir.path(), 2);
    EXPECT_EQ(e->impl()->cache()->write_position(), 13u) << info;
  }
  unlink((file + ".info").c_str());
  auto e = open_engine(dir.path(), 2);
  EXPECT_EQ(e->impl()->cache()->write_position(), 13u);
}

TEST(DedupDatastore, StaleRecordIsNeverTrusted) {
  TempDir dir;
  MessageCapture cap;
  auto e = open_engine(dir.path(), 3, 1, 4, true);
  PersistentCache* pc = e->impl()->cache();
  queue_chunks(pc, 1, 3);
  e->writedisk();
  uint64_t fp1 = fp_of(chunk_of(1));
  ASSERT_NE(pc->lookup(fp1), nullptr);
  // Another record now occupies record 0 (as after a restart that resumed
  // writing before it): the index entry must not be trusted.
  Bytes other = chunk_of(77);
  uint8_t rec[REC];
  uint64_t ofp = fp_of(other);
  for (int i = 0; i < 8; ++i) rec[i] = static_cast<uint8_t>(ofp >> (8 * i));
  std::memcpy(rec + 8, other.data(), W);
  ASSERT_EQ(pwrite(pc->fd(), rec, REC, 0), static_cast<ssize_t>(REC));
  EXPECT_EQ(pc->lookup(fp1), nullptr);
  EXPECT_EQ(pc->index().find(fp1), -1);
  EXPECT_EQ(counting_bloom_count(pc->bloom()), 2u);
  // A record cut short reads as corrupt and not stored.
  ASSERT_EQ(ftruncate(pc->fd(), 2 * REC + 100), 0);
  EXPECT_EQ(pc->lookup(fp_of(chunk_of(3))), nullptr);
  EXPECT_TRUE(cap.contains("Corrupt datastore\n"));
}

TEST(DedupDatastore, RingWrapsAndEvictionKeepsIndexInStep) {
  TempDir dir;
  MessageCapture cap;
  auto e = open_engine(dir.path(), 4, 1, 4, true);
  PersistentCache* pc = e->impl()->cache();
  const uint64_t cap_records = pc->capacity();
  uint32_t seed = 1;
  // Batches of varying size, up to full-queue flushes, over 2.5 laps.
  while (seed < 2.5 * cap_records) {
    uint32_t n = 3 + seed % 60;
    if (seed % 7 == 0) n = 100;
    queue_chunks(pc, seed, n);
    seed += n;
    e->writedisk();
    ASSERT_LE(pc->index().size(), cap_records + 100);
  }
  EXPECT_EQ(pc->wrap_count(), 2);
  EXPECT_TRUE(cap.contains("Debug : Wrap: 1 "));
  expect_index_consistent(pc);
  EXPECT_EQ(counting_bloom_count(pc->bloom()), pc->index().size());
  // Recent chunks are all found; the oldest are gone.
  for (uint32_t i = seed - 500; i < seed - 100; ++i)
    ASSERT_NE(pc->lookup(fp_of(chunk_of(i))), nullptr) << i;
  EXPECT_EQ(pc->lookup(fp_of(chunk_of(1))), nullptr);

  // Restart: the file holds the whole ring, so it starts wrapped and keeps
  // evicting before it overwrites.
  e.reset();
  e = open_engine(dir.path(), 4, 1, 4, true);
  pc = e->impl()->cache();
  EXPECT_EQ(pc->wrap_count(), 1);
  uint64_t before = pc->index().size();
  for (int round = 0; round < 50; ++round) {
    queue_chunks(pc, seed, 40);
    seed += 40;
    e->writedisk();
  }
  EXPECT_LE(pc->index().size(), before + 100);
  expect_index_consistent(pc);
  EXPECT_EQ(counting_bloom_count(pc->bloom()), pc->index().size());
}

TEST(DedupDatastore, BadSettingsLeaveEngineNotReady) {
  TempDir dir;
  MessageCapture cap;
  {
    WDedup e(WDedup::datastore_path(dir.path(), 1), 0, 330);
    EXPECT_FALSE(e.wait_prepared(1000));
    EXPECT_TRUE(cap.contains("Invalid datastore size"));
    uint8_t buf[2000] = {};
    EXPECT_EQ(e.compress(buf, buf, 1000, 2000), -1);
    EXPECT_EQ(errno, EPERM);
    std::set<uint64_t> missing;
    EXPECT_EQ(e.decompress(buf, buf, 10, 2000, missing, false), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(e.get_slot(), 0u);
  }
  // A plain file where the directory should be.
  write_file(dir.file("notadir"), "x");
  cap.clear();
  {
    WDedup e(WDedup::datastore_path(dir.file("notadir"), 1), 1, 330);
    EXPECT_FALSE(e.wait_prepared(1000));
    EXPECT_TRUE(cap.contains("Could not create datastore directory"));
  }
  // The datastore path is a directory: it cannot be opened.
  ASSERT_EQ(mkdir(dir.file("peer5").c_str(), 0700), 0);
  cap.clear();
  {
    WDedup e(WDedup::datastore_path(dir.path(), 5), 1, 330);
    EXPECT_FALSE(e.wait_prepared(5000));
    EXPECT_TRUE(cap.contains("Error : Could not open persistent datastore " + dir.file("peer5") + "\n"));
  }
  EXPECT_EQ(WDedup::datastore_path("/quilo/ds0", 3), "/quilo/ds0/peer3");
  EXPECT_EQ(WDedup::datastore_path("/quilo/ds0/", 1000), "/quilo/ds0/peerX");
  EXPECT_EQ(WDedup::datastore_path("", 0), "/quilo/ds0/peer0");
}
