// End-to-end tests: run the built qev on a data file and compare standard
// output, standard error and exit status byte for byte.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

extern char **environ;

namespace {

struct run_result {
  std::string out;
  std::string err;
  int status;
};

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A folder of this test process's own: ctest runs tests in parallel.
const std::string &scratch() {
  static const std::string dir = [] {
    std::string d = testing::TempDir() + "qev-test-XXXXXX";
    return std::string(mkdtemp(&d[0]));
  }();
  return dir;
}

// Runs program with args; standard input comes from in_path, and standard
// output goes to out_path when one is given.
run_result run(const char *program, const std::vector<std::string> &args,
               const std::string &out_path = "",
               const std::string &in_path = "/dev/null") {
  const std::string dir = scratch() + "/";
  const std::string out = out_path.empty() ? dir + "qev.out" : out_path;
  const std::string err = dir + "qev.err";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program));
  for (const std::string &a : args)
    argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  run_result r{"", "", -1};
  if (posix_spawn(&pid, program, &fa, nullptr, argv.data(), environ) == 0) {
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  }
  posix_spawn_file_actions_destroy(&fa);
  if (out_path.empty()) r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

run_result run_qev(const std::vector<std::string> &args,
                   const std::string &out_path = "",
                   const std::string &in_path = "/dev/null") {
  return run(QEV_BINARY, args, out_path, in_path);
}

std::string replace_all(std::string s, const std::string &from,
                        const std::string &to) {
  for (size_t p = s.find(from); p != std::string::npos;
       p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
  return s;
}

std::string repeat(const std::string &s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

const std::string ex = QEV_EXAMPLES;

// Six records of the 2011 US male table (ages 0, 20, ..., 100), and what qev
// makes of them however they are laid out.
const std::string six =
    "0\t1.000000\n20\t0.987390\n40\t0.958660\n"
    "60\t0.859990\n80\t0.508460\n100\t0.009870\n";
const char six_fit[] =
    "a= 0.016861, b= 0.094104, c= -0.039757, RMSE=5.319174e-03\n";

const char usage[] =
    "A data file name must be given.\n"
    "Usage: qev datafile.dat\n\n The result is obtained in stdout\n";
const char defaults_fit[] =
    "a= 0.030000, b= 0.050000, c= 0.010000, RMSE=5.000000e-01\n";

// {file} stands for a file holding `input`, {dir} for the test's folder;
// the file is named `file` there (folders in the name are made).
struct cli_case {
  const char *name;
  std::string input;
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int status;
  std::string file = "data.dat";
  bool on_stdin = false;  // the file is also qev's standard input
};

const std::string long_path =
    std::string(150, 'd') + "/" + std::string(146, 't') + ".dat";

const cli_case cli_cases[] = {
    {"no arguments: usage", "", {}, "", usage, 0},
    {"real table from the default start",
     "",
     {ex + "/us-2011-male.dat"},
     "a= 0.016887, b= 0.087479, c= -0.028439, RMSE=1.230724e-02\n",
     "",
     1},
    {"does not converge",
     "",
     {ex + "/us-2011-male.dat", "6.1", "-26.4", "-47.6"},
     "not convergent within 10000 iterations\n",
     "",
     1},
    // Data only at age 0 with life 0.5: every vertex scores the same, the
    // search stops at once and the report shows the start values.
    {"defaults", "0\t0.5\n", {"{file}"}, defaults_fit, "", 1},
    {"start a only",
     "0\t0.5\n",
     {"{file}", "1.5"},
     "a= 1.500000, b= 0.050000, c= 0.010000, RMSE=5.000000e-01\n",
     "",
     1},
    {"start a and b, b as atof reads it",
     "0\t0.5\n",
     {"{file}", "-2", "  2.5e1xyz"},
     "a= -2.000000, b= 25.000000, c= 0.010000, RMSE=5.000000e-01\n",
     "",
     1},
    {"not a number is zero, fifth argument ignored",
     "0\t0.5\n",
     {"{file}", "abc", "1", "2", "3"},
     "a= 0.000000, b= 1.000000, c= 2.000000, RMSE=5.000000e-01\n",
     "",
     1},
    {"zero error",
     "0\t1\n",
     {"{file}"},
     "a= 0.030000, b= 0.050000, c= 0.010000, RMSE=0.000000e+00\n",
     "",
     1},
    {"empty file",
     "",
     {"{file}"},
     "a= 0.030000, b= 0.050000, c= 0.010000, RMSE=-nan\n",
     "",
     1},
    {"only whitespace",
     " \n\t\n\r\n",
     {"{file}"},
     "a= 0.030000, b= 0.050000, c= 0.010000, RMSE=-nan\n",
     "",
     1},
    {"tabs", six, {"{file}"}, six_fit, "", 1},
    {"spaces", replace_all(six, "\t", " "), {"{file}"}, six_fit, "", 1},
    {"one line", replace_all(six, "\n", " "), {"{file}"}, six_fit, "", 1},
    {"CRLF", replace_all(six, "\n", "\r\n"), {"{file}"}, six_fit, "", 1},
    {"blank lines and no final newline",
     "\n\n" + replace_all(six, "\n", "\n\n").substr(0, 2 * six.size() - 2),
     {"{file}"},
     six_fit,
     "",
     1},
    {"200 records then blank lines",
     repeat("0\t0.5\n", 200) + "\n\n",
     {"{file}"},
     defaults_fit,
     "",
     1},
    // Refused inputs: a message naming the file, nothing on standard output.
    {"missing file",
     "",
     {"{dir}/missing.dat"},
     "",
     "qev: {dir}/missing.dat: No such file or directory\n",
     2},
    {"directory", "", {"{dir}"}, "", "qev: {dir}: Is a directory\n", 2},
    {"201 records",
     repeat("0\t0.5\n", 201),
     {"{file}"},
     "",
     "qev: {file}: more than 200 records\n",
     2},
    {"header line",
     "age\tlife\n" + six,
     {"{file}"},
     "",
     "qev: {file}: record 1: expected an integer age and a value\n",
     2},
    {"age with no value",
     six + "101\n",
     {"{file}"},
     "",
     "qev: {file}: record 7: expected an integer age and a value\n",
     2},
    {"text for a value",
     "0\t1\n1\tx\n",
     {"{file}"},
     "",
     "qev: {file}: record 2: expected an integer age and a value\n",
     2},
    {"NUL byte",
     std::string("0\t1\n\0\t1\n", 8),
     {"{file}"},
     "",
     "qev: {file}: record 2: expected an integer age and a value\n",
     2},
    {"age too large for an int",
     "4294967296\t0.5\n",
     {"{file}"},
     "",
     "qev: {file}: record 1: expected an integer age and a value\n",
     2},
};

TEST(Cli, OutputErrorsAndStatusMatchExactly) {
  const std::string dir = scratch();
  for (const cli_case &t : cli_cases) {
    SCOPED_TRACE(t.name);
    const std::string file = dir + "/" + t.file;
    const size_t slash = t.file.rfind('/');
    if (slash != std::string::npos)
      mkdir((dir + "/" + t.file.substr(0, slash)).c_str(), 0755);
    std::ofstream(file, std::ios::binary) << t.input;
    auto expand = [&](const std::string &s) {
      return replace_all(replace_all(s, "{file}", file), "{dir}", dir);
    };
    std::vector<std::string> args;
    for (const std::string &a : t.args) args.push_back(expand(a));
    const run_result r = t.on_stdin ? run_qev(args, "", file) : run_qev(args);
    EXPECT_EQ(r.out, t.out);
    EXPECT_EQ(r.err, expand(t.err));
    EXPECT_EQ(r.status, t.status);
  }
}

// Output that cannot be written must not pass for a finished fit or help.
TEST(Cli, FailedWriteOfTheOutputIsAnError) {
  for (const std::string &arg :
       {ex + "/us-2011-male.dat", std::string("--help")}) {
    SCOPED_TRACE(arg);
    const run_result r = run_qev({arg}, "/dev/full");
    EXPECT_EQ(r.err, "qev: standard output: No space left on device\n");
    EXPECT_EQ(r.status, 2);
  }
}

TEST(Cli, HelpAndVersionGoToStandardOutput) {
  for (const char *opt : {"-h", "--help"}) {
    SCOPED_TRACE(opt);
    const run_result r = run_qev({opt});
    EXPECT_EQ(r.out.rfind("Usage: qev DATAFILE [a [b [c]]]\n", 0), 0u);
    EXPECT_NE(r.out.find("start values"), std::string::npos);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
  const run_result v = run_qev({"--version"});
  EXPECT_EQ(v.out, "qev " QEV_VERSION "\n");
  EXPECT_EQ(v.err, "");
  EXPECT_EQ(v.status, 0);
}

bool have_gnuplot() {
  return run("/bin/sh", {"-c", "command -v gnuplot"}).status == 0;
}

TEST(Plot, WritesAPictureOfTheFit) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  setenv("QEV", QEV_BINARY, 1);
  const std::string dir = scratch();
  struct {
    const char *file;
    std::string magic;
  } pictures[] = {{"fit.png", "\x89PNG\r\n\x1a\n"}, {"fit.svg", "<?xml"}};
  for (const auto &p : pictures) {
    SCOPED_TRACE(p.file);
    const std::string out = dir + "/" + p.file;
    const run_result r = run(QEV_PLOT, {ex + "/us-2011-male.dat", "-o", out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, out + "\n");
    const std::string picture = slurp(out);
    EXPECT_EQ(picture.substr(0, p.magic.size()), p.magic);
    if (p.magic == "<?xml") {
      EXPECT_NE(picture.find("<svg"), std::string::npos);
    }
  }
}

TEST(Plot, RefusesToDrawWithoutAFit) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  setenv("QEV", QEV_BINARY, 1);
  const std::string out = scratch() + "/none.png";
  const run_result r = run(
      QEV_PLOT, {ex + "/us-2011-male.dat", "6.1", "-26.4", "-47.6", "-o", out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "qev-plot: " + ex +
                       "/us-2011-male.dat: no fit to draw: not convergent "
                       "within 10000 iterations\n");
  EXPECT_EQ(slurp(out), "");
}

}  // namespace
