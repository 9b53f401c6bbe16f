#include "support/test_support.h"

#include "core/job_runner.h"
#include "core/pool.h"

namespace {
class LogSmoke : public kxtest::WorkDirTest {};

TEST_F(LogSmoke, AbortUnwindsToGuard)
{
    kxtest::FakeWindow w;
    log_state.window = &w;
    bool ok = run_guarded([] { job_abort("boom"); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(w.text, "Error: boom\n");
    log_state.window = nullptr;
}
} // namespace
