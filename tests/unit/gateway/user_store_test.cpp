#include "gateway/user_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "util/exceptions.h"

namespace vtx::gateway {
namespace {

namespace fs = std::filesystem;

class StoreFile {
 public:
  StoreFile()
      : path_(fs::temp_directory_path() /
              ("vtx-store-" + std::to_string(::getpid()) + "-" + std::to_string(++n_) + ".db")) {
    remove();
  }
  ~StoreFile() { remove(); }
  std::string path() const { return path_.string(); }
  // A second connection, as another process would have.
  sqlite3* open() const {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    return db;
  }
  std::string hashOf(const std::string& user) const {
    sqlite3* db = open();
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT hash FROM accounts WHERE user = ?1", -1, &st, nullptr);
    sqlite3_bind_text(st, 1, user.c_str(), -1, SQLITE_TRANSIENT);
    std::string hash;
    if (sqlite3_step(st) == SQLITE_ROW)
      hash = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return hash;
  }

 private:
  void remove() {
    for (const char* tail : {"", "-wal", "-shm"}) {
      std::error_code ec;
      fs::remove(path_.string() + tail, ec);
    }
  }
  static inline int n_ = 0;
  fs::path path_;
};

TEST(UserStore, OlderPasswordRecordsStillCheckAndAreUpgraded) {
  StoreFile file;
  { UserStore create(file.path()); }
  {
    sqlite3* db = file.open();
    const std::string hash = PasswordHash("salty", u"old-pw");
    const std::string sql =
        "INSERT INTO accounts (user, salt, hash) VALUES ('ANN', X'73616C7479', '" + hash + "')";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  UserStore store(file.path());
  EXPECT_EQ(store.checkPassword(u"ann", u"wrong"), std::optional<bool>(false));
  EXPECT_EQ(file.hashOf("ANN").rfind("scrypt$", 0), std::string::npos);  // a failure keeps it
  EXPECT_EQ(store.checkPassword(u"ann", u"old-pw"), std::optional<bool>(true));
  const std::string upgraded = file.hashOf("ANN");
  EXPECT_EQ(upgraded.rfind("scrypt$16384$8$1$", 0), 0u) << upgraded;
  EXPECT_EQ(store.checkPassword(u"Ann", u"old-pw"), std::optional<bool>(true));
  EXPECT_EQ(store.checkPassword(u"ann", u"OLD-pw"), std::optional<bool>(false));
  EXPECT_EQ(file.hashOf("ANN"), upgraded);

  store.setPassword(u"bob", u"pw");  // new records: salted, slow form
  EXPECT_NE(file.hashOf("BOB"), upgraded);
  EXPECT_NE(SlowPasswordHash("a", u"p", 16), SlowPasswordHash("b", u"p", 16));
  EXPECT_EQ(SlowPasswordHash("a", u"p", 16), SlowPasswordHash("a", u"p", 16));
}

TEST(UserStore, ADamagedPasswordRecordNeverMatches) {
  StoreFile file;
  { UserStore create(file.path()); }
  sqlite3* db = file.open();
  ASSERT_EQ(sqlite3_exec(db,
                         "INSERT INTO accounts VALUES ('A', X'00', 'scrypt$99999999999$8$1$ab'),"
                         " ('B', X'00', 'scrypt$x'), ('C', X'00', '')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  UserStore store(file.path());
  for (const char16_t* user : {u"a", u"b", u"c"})
    EXPECT_EQ(store.checkPassword(user, u""), std::optional<bool>(false));
}

// Parameter writes must not wait for the disk: with the database locked by another process, a
// write returns at once, reads of other users go on, and the write lands once the lock is gone.
TEST(UserStore, WritesReturnWhileTheDatabaseIsLocked) {
  StoreFile file;
  UserStore store(file.path(), {}, 2048);
  TRtcTextValue before(u"before");
  store.setParam(u"bob", u"Note", &before);
  store.flush();
  sqlite3* locker = file.open();
  ASSERT_EQ(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  TRtcTextValue value(u"written later");
  store.setParam(u"ann", u"Note", &value);  // would wait for the lock, then fail
  TRtcRecord fields;
  fields.setAsBoolean("carl", true);
  store.addFields(u"ann", u"AllowUsers", fields);
  EXPECT_EQ(store.params(u"bob")->asText("Note"), u"before");
  TRtcTextValue big(RtcWideString(3000, u'x'));  // past the bound of queued bytes
  EXPECT_THROW(store.setParam(u"dora", u"Big", &big), std::runtime_error);
  ASSERT_EQ(sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(locker);
  auto ann = store.params(u"ann");  // waits for ann's queued writes
  EXPECT_EQ(ann->asText("Note"), u"written later");
  ASSERT_NE(ann->asRecord("AllowUsers"), nullptr);
  EXPECT_TRUE(ann->asRecord("AllowUsers")->asBoolean("carl"));
  store.flush();
  store.setParam(u"dora", u"Big", &big);  // room again, however large
  EXPECT_EQ(store.params(u"dora")->asText("Big"), RtcWideString(3000, u'x'));
}

}  // namespace
}  // namespace vtx::gateway

namespace vtx::gateway {
namespace {

TEST(UserStore, StoredParametersStayWithinTheQuota) {
  std::vector<std::string> logs;
  UserStore store(
      ":memory:", [&](const std::string& l) { logs.push_back(l); }, 64u << 20, 1000);
  TRtcTextValue big(RtcWideString(2000, u'x'));
  EXPECT_THROW(store.setParam(u"ann", u"Huge", &big), ERtcInfo);  // alone beyond the quota
  TRtcRecord fields;
  fields.setAsText("f", RtcWideString(2000, u'y'));
  EXPECT_THROW(store.addFields(u"ann", u"AllowUsers", fields), ERtcInfo);
  TRtcTextValue part(RtcWideString(400, u'p'));
  store.setParam(u"ann", u"A", &part);
  store.setParam(u"ann", u"B", &part);
  store.setParam(u"ann", u"C", &part);  // would take ann beyond 1000 bytes: dropped, logged
  store.setParam(u"bob", u"C", &part);  // others have their own quota
  store.setParam(u"ann", u"A", &part);  // replacing a value counts it once
  store.flush();
  auto ann = store.params(u"ann");
  EXPECT_EQ(ann->FieldCount(), 2);
  EXPECT_TRUE(ann->isNull("C"));
  EXPECT_EQ(store.params(u"bob")->asText("C"), RtcWideString(400, u'p'));
  std::size_t refused = 0;
  for (const auto& l : logs) refused += l.find("parameter quota exceeded") != std::string::npos;
  EXPECT_EQ(refused, 1u);
  store.setParam(u"ann", u"B", nullptr);  // removing makes room again
  store.setParam(u"ann", u"C", &part);
  store.flush();
  EXPECT_FALSE(store.params(u"ann")->isNull("C"));
}

}  // namespace
}  // namespace vtx::gateway
