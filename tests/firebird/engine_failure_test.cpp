// Engine failures in the middle of the layer's work: each call of a step is
// failed in turn; the step reports an error, leaves no engine object behind
// and the connection goes on working.
#include <gtest/gtest.h>
#include <ibase.h>

#include <functional>
#include <new>

#include "firebird/engine.h"
#include "firebird/fb_fixture.h"

namespace qv::fb {
namespace {

using test::kDbName;

// The installed engine, failing the call whose number is `fail_at` (counted
// from the engine's first call) with `failure`.
class FailingEngine : public Engine {
 public:
  FailingEngine() : Engine(installed_engine()->master()) {}
  void before_call() const override {
    if (++calls == fail_at) failure();
  }
  mutable long calls = 0;
  long fail_at = 0;
  std::function<void()> failure;
};

void engine_failure() {
  const ISC_STATUS vector[] = {isc_arg_gds, isc_random, isc_arg_string,
                               reinterpret_cast<ISC_STATUS>("injected failure"), isc_arg_end};
  Firebird::IStatus* status = installed_engine()->master()->getStatus();
  const Firebird::FbException e(status, vector);
  status->dispose();
  throw e;
}

void out_of_memory() { throw std::bad_alloc(); }

class EngineFailureTest : public ::testing::TestWithParam<void (*)()> {
 protected:
  void SetUp() override {
    test::create_database({"CREATE TABLE SAMPLE_4 (ID INTEGER NOT NULL PRIMARY KEY, D DATE, C CHAR(5))"});
    engine->failure = GetParam();
    db.DefaultTransaction = &tra;
    tra.DefaultDatabase = &db;
    table.Database = &db;
    table.Transaction = &tra;
    table.TableName = "SAMPLE_4";
    db.DatabaseName = kDbName;
    db.Open();
  }

  // The statements and transactions the engine holds for this connection.
  std::string held() {
    const auto rows = db.Query(
        "SELECT (SELECT COUNT(*) FROM MON$STATEMENTS WHERE MON$ATTACHMENT_ID = CURRENT_CONNECTION), "
        "(SELECT COUNT(*) FROM MON$TRANSACTIONS WHERE MON$ATTACHMENT_ID = CURRENT_CONNECTION) FROM RDB$DATABASE");
    return *rows.at(0).at(0) + " statements, " + *rows.at(0).at(1) + " transactions";
  }

  // Runs `step` once to count its engine calls, then once more for each of
  // them with that call failing: the step must fail, `check` must pass on the
  // connection afterwards, and the engine must hold no more than before.
  void fail_each_call(const std::function<void()>& step, const std::function<void()>& check) {
    const std::string before = held();
    const long start = engine->calls;
    step();
    const long span = engine->calls - start;
    ASSERT_GE(span, 2);
    check();
    for (long k = 1; k <= span; ++k) {
      SCOPED_TRACE("failing call " + std::to_string(k) + " of " + std::to_string(span));
      engine->fail_at = engine->calls + k;
      EXPECT_ANY_THROW(step());
      engine->fail_at = 0;
      check();
      EXPECT_EQ(held(), before);
    }
  }

  test::DriveC drive;
  std::shared_ptr<FailingEngine> engine = std::make_shared<FailingEngine>();
  IBTransaction tra;
  IBDatabase db{engine};
  IBTable table;
};

TEST_P(EngineFailureTest, PreparingAnInsert) {
  table.Open();
  long id = 0, rows = 0;
  // The check reopens the table, so that each round prepares its INSERT again.
  fail_each_call(
      [&] {
        table.Append();
        table.FieldByName("ID").SetAsInteger(++id);
        table.FieldByName("D").SetAsString("2024-02-29");
        table.FieldByName("C").SetAsString("abc");
        table.Post();
        ++rows;
      },
      [&] {
        table.Append();
        table.FieldByName("ID").SetAsInteger(1000 + id);
        table.Post();
        tra.Commit();
        tra.StartTransaction();
        EXPECT_EQ(table.RecordCount(), ++rows);
        table.Close();
        table.Open();
      });
}

TEST_P(EngineFailureTest, OpeningATable) {
  tra.StartTransaction();
  fail_each_call(
      [&] {
        table.Close();
        table.Open();
      },
      [&] {
        table.Close();
        table.Open();
        EXPECT_TRUE(table.Active());
        EXPECT_EQ(table.FieldByName("c").Name(), "C");
      });
}

TEST_P(EngineFailureTest, Fetching) {
  db.ExecuteImmediate("INSERT INTO SAMPLE_4 (ID, C) VALUES (1, 'one')");
  fail_each_call([&] { db.Query("SELECT ID, D, C FROM SAMPLE_4"); },
                 [&] {
                   const auto rows = db.Query("SELECT ID, C FROM SAMPLE_4");
                   ASSERT_EQ(rows.size(), 1u);
                   EXPECT_EQ(rows[0][1], "one  ");
                 });
}

INSTANTIATE_TEST_SUITE_P(Failures, EngineFailureTest, ::testing::Values(&engine_failure, &out_of_memory),
                         [](const auto& p) { return p.index == 0 ? "EngineError" : "OutOfMemory"; });

}  // namespace
}  // namespace qv::fb
