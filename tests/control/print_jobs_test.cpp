#include "control/print_jobs.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/result_codes.h"
#include "support/cups_server.h"

#ifdef LINVO_HAVE_CUPS
#include <cups/ipp.h>
#endif

namespace linvo::control {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Records what print job clearing asks of the spooler behind it; with no spooler behind it,
// it stands in for one whose queue lists `m_jobs` (nullopt: the listing fails).
class RecordingSpooler final : public PrintSpooler {
 public:
  explicit RecordingSpooler(PrintSpooler* real = nullptr) : m_real(real) {}

  std::unique_ptr<PrintQueue> Open(const std::string& name) override {
    ++m_opens;
    std::unique_ptr<PrintQueue> real = m_real ? m_real->Open(name) : nullptr;
    if (m_real && !real) return nullptr;
    return std::make_unique<Queue>(*this, std::move(real));
  }

  std::optional<std::vector<int>> m_jobs;
  int m_opens = 0;
  int m_closes = 0;
  std::vector<int> m_listed;
  std::vector<int> m_cancelled;

 private:
  class Queue final : public PrintQueue {
   public:
    Queue(RecordingSpooler& owner, std::unique_ptr<PrintQueue> real)
        : m_owner(owner), m_real(std::move(real)) {}
    ~Queue() override { ++m_owner.m_closes; }
    std::optional<std::vector<int>> ActiveJobs() override {
      auto jobs = m_real ? m_real->ActiveJobs() : m_owner.m_jobs;
      if (jobs) m_owner.m_listed = *jobs;
      return jobs;
    }
    bool CancelJob(int jobId) override {
      m_owner.m_cancelled.push_back(jobId);
      return m_real ? m_real->CancelJob(jobId) : true;
    }

   private:
    RecordingSpooler& m_owner;
    std::unique_ptr<PrintQueue> m_real;
  };

  PrintSpooler* m_real;
};

TEST(PrintJobClearStandIn, EmptyNameContactsNoSpooler) {
  RecordingSpooler spooler;
  CaptureStdout();
  EXPECT_EQ(PrintJobClear("", spooler), engine::kParameterError);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(spooler.m_opens, 0);
}

TEST(PrintJobClearStandIn, FailedListingClosesTheQueueAndPrintsNothing) {
  RecordingSpooler spooler;  // m_jobs empty: the listing fails
  CaptureStdout();
  EXPECT_EQ(PrintJobClear("queue", spooler), engine::kStateError);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(spooler.m_closes, 1);
  EXPECT_TRUE(spooler.m_cancelled.empty());
}

// A spooler that refuses one step with a reason: clearing answers 30 and leaves the reason in the
// form the port gives a line's failure; before the step nothing is reported.
struct RefusalCase {
  const char* name;
  int refusedStep;  // 0 open, 1 list, 2 cancel
  const char* output;
};

class RefusingSpooler final : public PrintSpooler {
 public:
  explicit RefusingSpooler(int refusedStep) : m_step(refusedStep) {}
  std::unique_ptr<PrintQueue> Open(const std::string&) override {
    if (m_step == 0) return nullptr;
    return std::make_unique<Queue>(m_step, m_error);
  }
  SpoolerError LastError() const override { return m_error; }

 private:
  class Queue final : public PrintQueue {
   public:
    Queue(int step, SpoolerError error) : m_step(step), m_error(std::move(error)) {}
    std::optional<std::vector<int>> ActiveJobs() override {
      if (m_step == 1) return std::nullopt;
      return std::vector<int>{7};
    }
    bool CancelJob(int) override { return false; }
    SpoolerError LastError() const override { return m_error; }

   private:
    int m_step;
    SpoolerError m_error;
  };

  int m_step;
  SpoolerError m_error{1801, "The printer name is invalid.: Office"};
};

class PrintJobClearRefused : public testing::TestWithParam<RefusalCase> {};

TEST_P(PrintJobClearRefused, LeavesTheSpoolersReason) {
  RefusingSpooler spooler(GetParam().refusedStep);
  std::string reason = "old";
  CaptureStdout();
  EXPECT_EQ(PrintJobClear("Office", spooler, &reason), engine::kStateError);
  EXPECT_EQ(GetCapturedStdout(), GetParam().output);
  EXPECT_EQ(reason, "The printer name is invalid.: Office (system error 1801)");
  EXPECT_EQ(PrintJobClear("", spooler, &reason), engine::kParameterError);
  EXPECT_EQ(reason, "") << "a result other than 30 leaves no reason";
}

INSTANTIATE_TEST_SUITE_P(Steps, PrintJobClearRefused,
                         testing::Values(RefusalCase{"Open", 0, ""}, RefusalCase{"List", 1, ""},
                                         RefusalCase{"Cancel", 2, "1 jobs\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

#ifdef LINVO_HAVE_CUPS

// Each test clears its own queue on a private cupsd shared by the suite: libcups keeps the
// server address of the first request, so one process talks to one server.
class PrintJobClearTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_server = test::CupsServer::Start({"empty", "three", "refused"}, &s_startError).release();
    if (const char* previous = getenv("CUPS_SERVER")) s_previousServer = previous;
    if (s_server != nullptr) setenv("CUPS_SERVER", s_server->Address().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete s_server;
    s_server = nullptr;
    if (s_previousServer) {
      setenv("CUPS_SERVER", s_previousServer->c_str(), 1);
    } else {
      unsetenv("CUPS_SERVER");
    }
  }
  void SetUp() override { ASSERT_NE(s_server, nullptr) << s_startError; }

  int Submit(const std::string& queue, const std::string& user = "") {
    std::string error;
    const int id = s_server->SubmitJob(queue, user, &error);
    EXPECT_GT(id, 0) << error;
    return id;
  }

  static std::vector<int> ActiveJobs(const std::string& queue) {
    std::unique_ptr<PrintQueue> open = MakeSystemSpooler()->Open(queue);
    if (!open) return {-1};
    return open->ActiveJobs().value_or(std::vector<int>{-1});
  }

  static test::CupsServer* s_server;
  static std::string s_startError;
  static std::optional<std::string> s_previousServer;
};

test::CupsServer* PrintJobClearTest::s_server = nullptr;
std::string PrintJobClearTest::s_startError;
std::optional<std::string> PrintJobClearTest::s_previousServer;

TEST_F(PrintJobClearTest, UnknownPrinterFails) {
  CaptureStdout();
  EXPECT_EQ(PrintJobClear("no-such-printer"), engine::kStateError);
  EXPECT_EQ(GetCapturedStdout(), "");
}

// The scheduler's own reason for a name it does not know: its IPP status (not-found) and text.
TEST_F(PrintJobClearTest, UnknownPrinterSaysWhy) {
  std::string reason;
  CaptureStdout();
  EXPECT_EQ(PrintJobClear("no-such-printer", &reason), engine::kStateError);
  GetCapturedStdout();
  const std::string suffix =
      ": no-such-printer (system error " + std::to_string(IPP_STATUS_ERROR_NOT_FOUND) + ")";
  ASSERT_GT(reason.size(), suffix.size()) << reason;
  EXPECT_EQ(reason.substr(reason.size() - suffix.size()), suffix);
}

TEST_F(PrintJobClearTest, EmptyQueueReportsZeroJobs) {
  CaptureStdout();
  EXPECT_EQ(PrintJobClear("empty"), engine::kSuccess);
  EXPECT_EQ(GetCapturedStdout(), "0 jobs\n");
}

TEST_F(PrintJobClearTest, CancelsEveryJobInListedOrder) {
  const std::vector<int> jobs = {Submit("three"), Submit("three"), Submit("three")};
  ASSERT_EQ(ActiveJobs("three"), jobs);

  const std::unique_ptr<PrintSpooler> cups = MakeSystemSpooler();
  RecordingSpooler spooler(cups.get());
  CaptureStdout();
  EXPECT_EQ(PrintJobClear("three", spooler), engine::kSuccess);
  EXPECT_EQ(GetCapturedStdout(), "3 jobs\n");
  EXPECT_EQ(spooler.m_listed, jobs);
  EXPECT_EQ(spooler.m_cancelled, jobs);
  EXPECT_EQ(spooler.m_closes, 1);
  EXPECT_EQ(ActiveJobs("three"), std::vector<int>{});
}

// The server refuses to cancel the second job, which belongs to another user.
TEST_F(PrintJobClearTest, RefusedCancelStopsAtOnce) {
  const std::vector<int> jobs = {Submit("refused"), Submit("refused", "linvo-other"),
                                 Submit("refused")};
  ASSERT_EQ(ActiveJobs("refused"), jobs);

  CaptureStdout();
  EXPECT_EQ(PrintJobClear("refused"), engine::kStateError);
  EXPECT_EQ(GetCapturedStdout(), "3 jobs\n");
  // The first is cancelled, the second refused, the third untouched.
  EXPECT_EQ(ActiveJobs("refused"), (std::vector<int>{jobs[1], jobs[2]}));
}

#endif  // LINVO_HAVE_CUPS

}  // namespace
}  // namespace linvo::control
