#include "xmconv_test_util.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "support/test_support.h"

RunResult run_converter(const std::string& program, const std::vector<std::string>& args)
{
    std::string cmd = "'" + std::string(KESTRIX_BINARY_DIR) + "/" + program + "'";
    for (const std::string& a : args) cmd += " '" + a + "'";  // the tests' names hold no quote
    int status = std::system((cmd + " 2>stderr.txt").c_str());
    RunResult r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = kxtest::read_text("stderr.txt");
    std::filesystem::remove("stderr.txt");
    return r;
}
