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

const char not_convergent[] = "not convergent within 10000 iterations\n";
const char nan_fit[] = "a= 0.030000, b= 0.050000, c= 0.010000, RMSE=-nan\n";
const char no_records[] =
    "qev: {file}: warning: no records, so the RMSE is NaN\n";

// The table of a fit to ages 0..200 with life 0.5, one record a line.
std::string records(int n) { return "0\t0.5\n" + repeat("0 0.5\n", n - 1); }

const cli_case cli_cases[] = {
    {"no arguments: usage", "", {}, "", usage, 0},
    {"real table from the default start",
     "",
     {ex + "/us-2011-male.dat"},
     "a= 0.016887, b= 0.087479, c= -0.028439, RMSE=1.230724e-02\n",
     "",
     1},
    // Searches that run to the limit from far starts; between them they
    // take every branch of the search's comparisons many times.
    {"does not converge",
     "",
     {ex + "/us-2011-male.dat", "6.1", "-26.4", "-47.6"},
     not_convergent,
     "",
     1},
    {"does not converge: Finland",
     "",
     {ex + "/finland-2013-female.dat", "-100", "-100", "100"},
     not_convergent,
     "",
     1},
    {"does not converge: US 1940",
     "",
     {ex + "/us-1940-male.dat", "-1", "-10", "0"},
     not_convergent,
     "",
     1},
    {"does not converge: US 2011 female",
     "",
     {ex + "/us-2011-female.dat", "1", "-1", "-10"},
     not_convergent,
     "",
     1},
    // Two records that the curve meets almost exactly: the report must show
    // the best vertex's RMSE, not another slot's.
    {"exact fit reports the best vertex",
     "20 0.98739\n100 0.00987\n",
     {"{file}"},
     "a= -0.221359, b= 0.084953, c= -0.028101, RMSE=5.539624e-16\n",
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
    {"start a, b and c",
     "0\t0.5\n",
     {"{file}", "1", "2", "3"},
     "a= 1.000000, b= 2.000000, c= 3.000000, RMSE=5.000000e-01\n",
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
    {"empty file", "", {"{file}"}, nan_fit, no_records, 1},
    {"only whitespace", " \n\t\n\r\n", {"{file}"}, nan_fit, no_records, 1},
    {"tabs", six, {"{file}"}, six_fit, "", 1},
    {"any whitespace: spaces, one line, CRLF, blank lines, no final newline",
     "\n\n0 1.000000\r\n\r\n20\v0.987390 40\f0.958660\t60  0.859990\n\n"
     "80\t0.508460\r\n100\t0.009870",
     {"{file}"},
     six_fit,
     "",
     1},
    {"signs, exponents, hex floats and leading zeros",
     "-0\t0x1p+0\n020\t98.739e-2\n+0040\t+.95866\n60\t8.5999E-1\n"
     "80\t0.50846\n100\t9.87e-3\n",
     {"{file}"},
     six_fit,
     "",
     1},
    {"standard input", six, {"-"}, six_fit, "", 1, "data.dat", true},
    {"200 records then blank lines",
     records(200) + "\n\n",
     {"{file}"},
     defaults_fit,
     "",
     1},
    {"file name with spaces and non-ASCII characters",
     six,
     {"{file}"},
     six_fit,
     "",
     1,
     "life table \xc3\xa5r 2011.dat"},
    {"path of 300 characters",
     six,
     {"{file}"},
     six_fit,
     "",
     1,
     std::string(150, 'd') + "/" + std::string(146, 't') + ".dat"},
    // Data the fit cannot make sense of still gets its report, with a
    // warning naming the first line of each kind.
    {"ages outside 0..105 are read and give NaN",
     "0 1\n110 0.5\n-1 0.5\n2147483647 0.5\n",
     {"{file}"},
     nan_fit,
     "qev: {file}: line 2: warning: age 110 is outside 0..105, so every error "
     "is NaN: the curve is defined up to age 105; drop older ages and the "
     "open age group\n",
     1},
    {"survivor counts instead of shares",
     "0 100000\n1 99342\n50 95000\n",
     {"{file}"},
     "a= 1.423539, b= 1.026633, c= -1.273214, RMSE=7.963397e+04\n",
     "qev: {file}: line 1: warning: value 100000 is not a share still alive "
     "between 0 and 1: divide l(x) by its radix (usually 100000)\n",
     1},
    {"NaN value",
     "0 1\n\n1 nan\n",
     {"{file}"},
     "a= 0.030000, b= 0.050000, c= 0.010000, RMSE=nan\n",
     "qev: {file}: line 3: warning: value nan is not a share still alive "
     "between 0 and 1: divide l(x) by its radix (usually 100000)\n",
     1},
    // Refused inputs: a message naming the file and the line, nothing on
    // standard output.
    {"missing file",
     "",
     {"{dir}/missing.dat"},
     "",
     "qev: {dir}/missing.dat: No such file or directory\n",
     2},
    {"-h is a file name unless it is the only argument",
     "",
     {"-h", "x"},
     "",
     "qev: -h: No such file or directory\n",
     2},
    {"file name of 300 characters",
     "",
     {"{dir}/" + std::string(300, 'n')},
     "",
     "qev: {dir}/" + std::string(300, 'n') + ": File name too long\n",
     2},
    {"directory", "", {"{dir}"}, "", "qev: {dir}: Is a directory\n", 2},
    {"201 records",
     "\n" + records(201),
     {"{file}"},
     "",
     "qev: {file}: line 202: more than 200 records\n",
     2},
    {"malformed record 201 is malformed, not one too many",
     records(200) + "201 x\n",
     {"{file}"},
     "",
     "qev: {file}: line 201: value \"x\" is not a number\n",
     2},
    {"header line",
     "age\tlife\n" + six,
     {"{file}"},
     "",
     "qev: {file}: line 1: \"age\" is not a whole-number age\n",
     2},
    {"fractional age",
     "0 1\n2.5 0.9\n",
     {"{file}"},
     "",
     "qev: {file}: line 2: \"2.5\" is not a whole-number age\n",
     2},
    {"age groups of an abridged table",
     "0 1.0\n1-4 0.99\n5-9 0.98\n",
     {"{file}"},
     "",
     "qev: {file}: line 2: \"1-4\" is not a whole-number age\n",
     2},
    {"age with no value",
     six + "101\n",
     {"{file}"},
     "",
     "qev: {file}: line 7: age 101 has no value\n",
     2},
    {"value with text stuck to it",
     "0 1\n1 0.99x\n",
     {"{file}"},
     "",
     "qev: {file}: line 2: value \"0.99x\" is not a number\n",
     2},
    {"value with an exponent cut short",
     "2 0.98e\n",
     {"{file}"},
     "",
     "qev: {file}: line 1: value \"0.98e\" is not a number\n",
     2},
    {"binary data is quoted escaped",
     std::string("0\t1\n\x7f"
                 "ELF\x02\x01\x01\0\0\"\\\n",
                 16),
     {"{file}"},
     "",
     "qev: {file}: line 2: \"\\x7fELF\\x02\\x01\\x01\\x00\\x00\\\"\\\\\" is "
     "not "
     "a whole-number age\n",
     2},
    {"age too large for an int",
     "4294967296\t0.5\n",
     {"{file}"},
     "",
     "qev: {file}: line 1: age 4294967296 is out of range\n",
     2},
    {"age too small for an int",
     "0 1\n-2147483649 0.5\n",
     {"{file}"},
     "",
     "qev: {file}: line 2: age -2147483649 is out of range\n",
     2},
    {"very long field is shortened",
     "0 " + std::string(2000, '9'),
     {"{file}"},
     "",
     "qev: {file}: line 1: \"" + std::string(32, '9') +
         "...\" is longer than 1024 characters\n",
     2},
    {"standard input is named so",
     "age life\n",
     {"-"},
     "",
     "qev: standard input: line 1: \"age\" is not a whole-number age\n",
     2,
     "data.dat",
     true},
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
       {ex + "/us-2011-male.dat", std::string("--help"),
        std::string("--version")}) {
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

// The README's recipe for a whitespace-separated table with a header row
// naming an Age and an lx column, word for word, on a shipped HMD table: it
// keeps ages 0..104, drops the open age group and divides by the radix.
TEST(Cli, ReadmeRecipeTurnsAnLxTableIntoData) {
  const std::string recipe =
      "awk '!h && /(^|[ \\t])lx([ \\t]|$)/ { for (i = 1; i <= NF; i++) "
      "c[$i] = i; h = 1; next }\n"
      "     h && $c[\"Age\"] ~ /^[0-9]+$/ && $c[\"Age\"] <= 104 { printf "
      "\"%d\\t%.10g\\n\", $c[\"Age\"], $c[\"lx\"] / 100000 }' "
      "us-2019-female-lx.txt > us-2019-female.dat";
  const std::string dir = scratch();
  const run_result conv =
      run("/bin/sh",
          {"-c", "cd '" + ex + "' && " +
                     replace_all(recipe, "> us-", "> '" + dir + "'/us-")});
  ASSERT_EQ(conv.status, 0) << conv.err;
  const run_result r = run_qev({dir + "/us-2019-female.dat"});
  EXPECT_EQ(r.out,
            "a= 0.005478, b= 0.065156, c= -0.023351, RMSE=1.931663e-02\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(slurp(dir + "/us-2019-female.dat").substr(0, 15),
            "0\t1\n1\t0.995\n2\t0");
}

bool have_gnuplot() {
  return run("/bin/sh", {"-c", "command -v gnuplot"}).status == 0;
}

TEST(Plot, WritesAPictureOfTheFit) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  setenv("QEV", QEV_BINARY, 1);
  const std::string dir = scratch();
  const std::string png = "\x89PNG\r\n\x1a\n";
  struct {
    std::vector<std::string> args;  // after the data file
    std::string out;                // the picture's file; "" standard output
    std::string magic;
  } pictures[] = {{{"-o", dir + "/fit.png"}, dir + "/fit.png", png},
                  {{"0.02", "-o", dir + "/fit.svg"}, dir + "/fit.svg", "<?xml"},
                  {{"0.02", "0.1", "-o", "-"}, "", png}};
  for (const auto &p : pictures) {
    SCOPED_TRACE(p.args.back());
    std::vector<std::string> args = {ex + "/us-2011-male.dat"};
    args.insert(args.end(), p.args.begin(), p.args.end());
    const run_result r = run(QEV_PLOT, args);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string picture = p.out.empty() ? r.out : slurp(p.out);
    if (!p.out.empty()) {
      EXPECT_EQ(r.out, p.out + "\n");
    }
    EXPECT_EQ(picture.substr(0, p.magic.size()), p.magic);
    if (p.magic == "<?xml") {
      EXPECT_NE(picture.find("<svg"), std::string::npos);
    }
  }
}

// No fit, no picture: status 1 for a search without a usable result, 2 when
// gnuplot fails, and nothing left at the output's name either way.
TEST(Plot, RefusesToDrawWithoutAFit) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  setenv("QEV", QEV_BINARY, 1);
  const std::string dir = scratch();
  const std::string out = dir + "/none.png";
  std::ofstream(dir + "/empty.dat") << "";
  mkdir((dir + "/bin").c_str(), 0755);
  std::ofstream(dir + "/bin/gnuplot")
      << "#!/bin/sh\necho 'broken' >&2\nexit 1\n";
  chmod((dir + "/bin/gnuplot").c_str(), 0755);
  const std::string path = getenv("PATH");
  struct {
    const char *name;
    std::vector<std::string> args;
    std::string err;
    int status;
  } cases[] = {
      {"not convergent",
       {ex + "/us-2011-male.dat", "6.1", "-26.4", "-47.6", "-o", out},
       "qev-plot: " + ex +
           "/us-2011-male.dat: no fit to draw: not convergent within 10000 "
           "iterations\n",
       1},
      {"NaN RMSE",
       {dir + "/empty.dat", "-o", out},
       "qev: " + dir + "/empty.dat: warning: no records, so the RMSE is NaN\n" +
           "qev-plot: " + dir +
           "/empty.dat: no fit to draw: the RMSE is -nan\n",
       1},
      {"gnuplot fails",
       {ex + "/us-2011-male.dat", "-o", out},
       "broken\nqev-plot: " + out + ": gnuplot could not draw the picture\n",
       2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.status == 2) setenv("PATH", (dir + "/bin:" + path).c_str(), 1);
    const run_result r = run(QEV_PLOT, c.args);
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(access(out.c_str(), F_OK), 0) << out << " was written";
  }
}

}  // namespace
