// A batch on the console: each file's line as its job ends, the logs in the order of the files as
// soon as all earlier files are done, and on a terminal a progress bar of the files below the
// lines.
#include "cli/batch.h"

#include <memory>

#include "cli/console_log.h"

namespace {

void put_line(FILE* out, const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
}

} // namespace

int run_batch(const std::vector<BatchFile>& files, int jobs, const ConvertOne& convert, const BatchConsole& console)
{
    int converted = 0, failed = 0;
    std::vector<std::unique_ptr<BatchResult>> results(files.size());
    size_t logged = 0; // files whose log is written
    bool bar_shown = false;
    auto clear_bar = [&] {
        if (bar_shown) std::fprintf(console.out, "\r%*s\r", progress_bar_columns, "");
        bar_shown = false;
    };
    auto show_bar = [&] {
        if (!console.terminal || size_t(converted + failed) >= files.size()) return;
        const double part = double(converted + failed) / double(files.size());
        std::fprintf(console.out, "\r%s %zu/%zu files", progress_bar(part).c_str(), size_t(converted + failed),
                     files.size());
        bar_shown = true;
        std::fflush(console.out);
    };
    const BatchFinished finished = [&](size_t i, BatchResult& r) {
        r.ok ? ++converted : ++failed;
        if (!r.ok || !console.quiet || !r.warnings.empty()) {
            clear_bar();
            put_line(console.out, r.ok ? batch_ok_line(files[i], r.seconds) : batch_failed_line(files[i], r.reason));
            for (const std::string& w : r.warnings) put_line(console.out, "    " + w);
        }
        results[i] = std::make_unique<BatchResult>(std::move(r));
        for (; console.log && logged < files.size() && results[logged]; ++logged) {
            const BatchResult& done = *results[logged];
            const BatchFile& f = files[logged];
            std::fprintf(console.log, "== %s\n%s%s%s\n\n", f.input.c_str(), done.log.c_str(),
                         done.log.empty() || done.log.back() == '\n' ? "" : "\n",
                         (done.ok ? batch_ok_line(f, done.seconds) : batch_failed_line(f, done.reason)).c_str());
        }
        show_bar();
        std::fflush(console.out);
    };
    // The bar moves with the files only: no need to look at the clock often.
    run_batch_jobs(files, jobs, convert, finished, {}, show_bar);
    clear_bar();
    if (!console.quiet || failed) put_line(console.out, batch_summary(converted, failed));
    std::fflush(console.out);
    return failed;
}
