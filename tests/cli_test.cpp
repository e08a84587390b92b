// End-to-end tests: run the built qev on a data file and compare standard
// output, standard error and exit status byte for byte.
#include "cli.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

using namespace qev;

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

// Runs program with args in the test's folder; standard input comes from
// in_path, and standard output goes to out_path when one is given.
run_result run(const char *program, const std::vector<std::string> &args,
               const std::string &out_path = "",
               const std::string &in_path = "/dev/null") {
  const std::string dir = scratch() + "/";
  const std::string out = out_path.empty() ? dir + "qev.out" : out_path;
  const std::string err = dir + "qev.err";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addchdir_np(&fa, scratch().c_str());
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

// Each line of `lines` with `prefix` before it and `eol` for its line end.
std::string each_line(const std::string &lines, const std::string &prefix,
                      const std::string &eol) {
  std::string r;
  std::istringstream in(lines);
  for (std::string l; std::getline(in, l);) r += prefix + l + eol;
  return r;
}

const std::string ex = QEV_EXAMPLES;

// The tab-separated fields of a row, an empty last one included.
std::vector<std::string> fields_of(const std::string &row) {
  std::vector<std::string> f(1);
  for (char ch : row) {
    if (ch == '\t')
      f.emplace_back();
    else
      f.back() += ch;
  }
  return f;
}

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
// The warning for a data set of 1 to 3 records.
std::string few(int n) {
  return "qev: {file}: warning: " + std::to_string(n) + " record" +
         (n > 1 ? "s" : "") +
         ", fewer than 4: the curve's three parameters fit so few records "
         "without meaning anything\n";
}
const std::string one_record = few(1);
// The warning for a first record of age 0 whose value is not 1.
std::string l0(const std::string &value) {
  return "qev: {file}: line 1: warning: the value at age 0 is " + value +
         ", not 1: is the radix right?\n";
}
const std::string half_record = l0("0.5") + one_record;
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
     few(2),
     1},
    // Data only at age 0 with life 0.5: every vertex scores the same, the
    // search stops at once and the report shows the start values.
    {"defaults", "0\t0.5\n", {"{file}"}, defaults_fit, half_record, 1},
    {"a word after the first record gets no hint",
     "0 1\nage 0.5\n",
     {"{file}"},
     "",
     "qev: {file}: line 2: \"age\" is not a whole-number age\n",
     2},
    {"a first field that does not start with a letter gets no hint",
     "5a 1\n",
     {"{file}"},
     "",
     "qev: {file}: line 1: \"5a\" is not a whole-number age\n",
     2},
    {"the HMD's title line: a hint of qev-hmd",
     "The United States of America, Life tables (period 1x1), Females\t"
     "Last modified: 15 Mar 2023\n\n  Year  Age  lx\n",
     {"{file}"},
     "",
     "qev: {file}: line 1: \"The\" is not a whole-number age (a life table "
     "of the Human Mortality Database? qev-hmd FILE fits each of its "
     "years)\n",
     2},
    // Overlong forms, surrogates and code points past U+10FFFF are not
    // UTF-8; the last code point of each length is.
    {"UTF-8 of three bytes, overlong forms and surrogates",
     "\xe2\x82\xac\xe0\x80\x80\xed\xa0\x80\xc2\xa0 0.5\n",
     {"{file}"},
     "",
     "qev: {file}: line 1: "
     "\"\xe2\x82\xac\\xe0\\x80\\x80\\xed\\xa0\\x80\xc2\xa0\" "
     "is not a whole-number age\n",
     2},
    {"UTF-8 of four bytes, and past U+10FFFF",
     "\xf0\x9f\x98\x80\xf0\x80\x80\x80\xf4\x90\x80\x80\xf4\x8f\xbf\xbf 0.5\n",
     {"{file}"},
     "",
     "qev: {file}: line 1: "
     "\"\xf0\x9f\x98\x80\\xf0\\x80\\x80\\x80\\xf4\\x90\\x80"
     "\\x80\xf4\x8f\xbf\xbf\" is not a whole-number age\n",
     2},
    {"the last code point of each length, and a sequence cut short",
     "\xdf\xbf\xed\x9f\xbf\xef\xbf\xbd\xf3\xbf\xbf\xbf\xe2\x82 0.5\n",
     {"{file}"},
     "",
     "qev: {file}: line 1: \"\xdf\xbf\xed\x9f\xbf\xef\xbf\xbd\xf3\xbf\xbf\xbf"
     "\\xe2\\x82\" is not a whole-number age\n",
     2},
    {"the first code point of each length, and bad continuation bytes",
     "\xe0\xa0\x80\xf0\x90\x80\x80\xc3\x80\xc3\xc0\xe2\x82"
     "A 0.5\n",
     {"{file}"},
     "",
     "qev: {file}: line 1: "
     "\"\xe0\xa0\x80\xf0\x90\x80\x80\xc3\x80\\xc3\\xc0\\xe2"
     "\\x82A\" is not a whole-number age\n",
     2},
    {"lone continuation bytes and a lead byte past F4",
     "\x80\x80\x80\x80\xf5\x80\x80\x80 0.5\n",
     {"{file}"},
     "",
     "qev: {file}: line 1: \"\\x80\\x80\\x80\\x80\\xf5\\x80\\x80\\x80\" is not "
     "a "
     "whole-number age\n",
     2},
    {"a byte escaped at the end of what is shown",
     std::string(31, 'a') + "\xff" + "b 0.5\n",
     {"{file}"},
     "",
     "qev: {file}: line 1: \"" + std::string(31, 'a') +
         "\\xff...\" is not a whole-number age (a header line? qev --tsv "
         "--age=COL --value=COL reads a table with one)\n",
     2},
    {"a long field is cut before a character, not inside it",
     std::string(31, 'a') + "\xc3\xa9 0.5\n",
     {"{file}"},
     "",
     "qev: {file}: line 1: \"" + std::string(31, 'a') +
         "...\" is not a whole-number age (a header line? qev --tsv "
         "--age=COL --value=COL reads a table with one)\n",
     2},
    {"bytes that are not UTF-8 are escaped, UTF-8 is not",
     "\xc3\xb4\xff\xc2\x85 0.5\n",
     {"{file}"},
     "",
     "qev: {file}: line 1: \"\xc3\xb4\\xff\\xc2\\x85\" is not a whole-number "
     "age\n",
     2},
    // The message names the first value outside 0..1, not a small one.
    {"the first value that is not a share is named",
     "0 1\n20 0.0005\n40 1.005\n60 0.5\n80 0.2\n",
     {"{file}"},
     "a= -0.411115, b= -0.023124, c= 1.643041, RMSE=3.502773e-01\n",
     "qev: {file}: line 3: warning: value 1.005 is not a share still alive "
     "between 0 and 1: divide l(x) by its radix (usually 100000)\n"
     "qev: {file}: line 3: warning: the value rises from age 20 to age 40: "
     "shares still alive never rise with age (is this q(x) or m(x)?)\n",
     1},
    {"start a only",
     "0\t0.5\n",
     {"{file}", "1.5"},
     "a= 1.500000, b= 0.050000, c= 0.010000, RMSE=5.000000e-01\n",
     half_record,
     1},
    {"start a and b, b as atof reads it",
     "0\t0.5\n",
     {"{file}", "-2", "  2.5e1xyz"},
     "a= -2.000000, b= 25.000000, c= 0.010000, RMSE=5.000000e-01\n",
     "qev: start value \"  2.5e1xyz\" is not a number: the search starts from "
     "25 there\n" +
         half_record,
     1},
    {"start a, b and c",
     "0\t0.5\n",
     {"{file}", "1", "2", "3"},
     "a= 1.000000, b= 2.000000, c= 3.000000, RMSE=5.000000e-01\n",
     half_record,
     1},
    {"not a number is zero, fifth argument ignored",
     "0\t0.5\n",
     {"{file}", "abc", "1", "2", "3"},
     "a= 0.000000, b= 1.000000, c= 2.000000, RMSE=5.000000e-01\n",
     "qev: start value \"abc\" is not a number: the search starts from 0 "
     "there\n" +
         half_record,
     1},
    {"zero error",
     "0\t1\n",
     {"{file}"},
     "a= 0.030000, b= 0.050000, c= 0.010000, RMSE=0.000000e+00\n",
     one_record,
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
     l0("0.5") +
         "qev: {file}: line 2: warning: age 0 again, first on line 1: two "
         "tables in one file?\n",
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
     "open age group\n"
     "qev: {file}: line 1: warning: the value rises from age -1 to age 0: "
     "shares still alive never rise with age (is this q(x) or m(x)?)\n",
     1},
    {"survivor counts instead of shares",
     "0 100000\n1 99342\n50 95000\n",
     {"{file}"},
     "a= 1.423539, b= 1.026633, c= -1.273214, RMSE=7.963397e+04\n",
     "qev: {file}: line 1: warning: value 100000 is not a share still alive "
     "between 0 and 1: divide l(x) by its radix (usually 100000)\n" +
         l0("100000") + few(3),
     1},
    {"NaN value",
     "0 1\n\n1 nan\n",
     {"{file}"},
     "a= 0.030000, b= 0.050000, c= 0.010000, RMSE=nan\n",
     "qev: {file}: line 3: warning: value nan is not a share still alive "
     "between 0 and 1: divide l(x) by its radix (usually 100000)\n" +
         few(2),
     1},
    // The ends of the ranges the reader and the checks draw lines at.
    {"age 105 ends the curve: warned; values 0 and 1 are not",
     "0 1\n50 0.9\n104 0\n105 0\n",
     {"{file}"},
     "a= 0.840377, b= 0.451599, c= -1.070054, RMSE=2.775558e-16\n",
     "qev: {file}: line 4: warning: age 105 is where the curve ends (u is "
     "infinite there), and the search can stop at its start: drop it\n",
     1},
    {"age 106 is outside, and so is the smallest int",
     "0 1\n50 0.9\n106 0\n-2147483648 0\n",
     {"{file}"},
     nan_fit,
     "qev: {file}: line 3: warning: age 106 is outside 0..105, so every error "
     "is NaN: the curve is defined up to age 105; drop older ages and the "
     "open age group\n"
     "qev: {file}: line 1: warning: the value rises from age -2147483648 to "
     "age 0: shares still alive never rise with age (is this q(x) or "
     "m(x)?)\n",
     1},
    {"values that rise with age and an age again",
     "0 0.01\n1 0.005\n2 0.004\n3 0.006\n0 1\n",
     {"{file}"},
     "a= 1190.549620, b= -1357.817605, c= 408.034497, RMSE=4.427416e-01\n",
     l0("0.01") +
         "qev: {file}: line 4: warning: the value rises from age 2 to age 3: "
         "shares still alive never rise with age (is this q(x) or m(x)?)\n"
         "qev: {file}: line 5: warning: age 0 again, first on line 1: two "
         "tables "
         "in one file?\n",
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
     "qev: {file}: line 202: more than 200 records: the table has 201\n",
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
     "qev: {file}: line 1: \"age\" is not a whole-number age (a header "
     "line? qev --tsv --age=COL --value=COL reads a table with one)\n",
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
    {"field of 40 characters is shortened; ~ is not escaped",
     "0 1\n~" + std::string(39, '7') + " 1\n",
     {"{file}"},
     "",
     "qev: {file}: line 2: \"~" + std::string(31, '7') +
         "...\" is not a whole-number age\n",
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
     "qev: standard input: line 1: \"age\" is not a whole-number age (a "
     "header line? qev --tsv --age=COL --value=COL reads a table with one)\n",
     2,
     "data.dat",
     true},
};

const std::string tsv_header =
    "file\ta\tb\tc\trmse\titerations\tstatus\trecords\te0_fit\te0_table\t"
    "se_a\tse_b\tse_c\tse_e0_fit\tchecks\n";
const std::string six_row =
    "\t0.0168609032970553\t0.094104185903438498\t-0.039756576531783432\t"
    "0.0053191736216521247\t215\tconverged\t6\t76.327050768980627\t"
    "76.39278986016474\t0.00214545261136424\t0.014710056772049446\t"
    "0.013312922514130689\t0.34991142187137991\t\n";
const std::string refused_row = "\t\t\t\t\t\trefused\t\t\t\t\t\t\t\t\n";
const std::string try_help = "Try 'qev --help' for more information.\n";

// The row and warning of a long table's group of one record, age 0 and
// value 1: the search stops at once.
const std::string one_row =
    "\t0.029999999999999999\t0.050000000000000003\t0.01\t0\t0\t"
    "too-few-records\t1\tNaN\tNaN\tNaN\tNaN\tNaN\tNaN\t"
    "few-records\n";
// n rows of group a, ages 0 to 99 over and over.
std::string many_rows(int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += "a\t" + std::to_string(i % 100) + "\t0.5\n";
  return r;
}
std::string one_long(const std::string &where) {
  return "qev: " + where +
         ": warning: 1 record, fewer than 4: the curve's three parameters fit "
         "so few records without meaning anything\n";
}

// An option refused before anything is read.
cli_case refusal(const char *name, std::vector<std::string> args,
                 const std::string &message) {
  return {name, "", std::move(args), "", "qev: " + message + "\n" + try_help,
          2};
}

// The modes chosen by long options before the file names.  The file is
// named relative to the test's folder, where qev runs.
const cli_case mode_cases[] = {
    {"--tsv: one row per file, full precision",
     six,
     {"--tsv", "data.dat", ex + "/us-1940-male.dat"},
     tsv_header + "data.dat" + six_row + ex +
         "/us-1940-male.dat\t0.11321551182751935\t0.13004428175069016\t"
         "0.030172216723913285\t0.0054836977493715692\t128\tconverged\t101\t"
         "61.654781466123886\t61.61828808824265\t0.0012344783258300259\t"
         "0.0032216562044730676\t0.0021423002737468366\t"
         "0.051915970774118025\t\n",
     "",
     1},
    {"--tsv: a refused file among good ones",
     six,
     {"--tsv", "missing.dat", "data.dat"},
     tsv_header + "missing.dat" + refused_row + "data.dat" + six_row,
     "qev: missing.dat: No such file or directory\n",
     2},
    {"--tsv: a search that does not converge shows where it ended",
     "",
     {"--tsv", "--start=6.1,-26.4,-47.6", ex + "/us-2011-male.dat"},
     tsv_header + ex +
         "/us-2011-male.dat\t22070246325.958954\t-68791899712.290421\t"
         "-2679559533.5145826\t0.8114158228642232\t10000\tnot-convergent\t101\t"
         "NaN\tNaN\tNaN\tNaN\tNaN\tNaN\t\n",
     "",
     1},
    {"--tsv: standard input and a tab in a name",
     six,
     {"--tsv", "-", "tab\tname.dat"},
     tsv_header + "-" + six_row + "\"tab\tname.dat\"" + refused_row,
     "qev: tab\tname.dat: No such file or directory\n",
     2,
     "data.dat",
     true},
    {"--fitted: observed, fitted and residual for every record",
     "0 1\n50 0.9\n",
     {"--fitted", "--start=0.5", "data.dat"},
     "file\tage\tobserved\tfitted\tresidual\n"
     "data.dat\t0\t1\t1\t0\n"
     "data.dat\t50\t0.90000000000000002\t0.89999999999999925\t"
     "7.7715611723760958e-16\n",
     "qev: data.dat: warning: 2 records, fewer than 4: the curve's three "
     "parameters fit so few records without meaning anything\n",
     1},
    {"--fitted spells an infinite value Inf",
     "0 1\n1 inf\n20 0.98739\n40 0.95866\n",
     {"--fitted", "data.dat"},
     "file\tage\tobserved\tfitted\tresidual\n"
     "data.dat\t0\t1\t1\t0\n"
     "data.dat\t1\tInf\t0.98662006380365597\tInf\n"
     "data.dat\t20\t0.98738999999999999\t0.96511727302821115\t"
     "0.022272726971788837\n"
     "data.dat\t40\t0.95865999999999996\t0.94064611817491894\t"
     "0.018013881825081013\n",
     "qev: data.dat: line 2: warning: value inf is not a share still alive "
     "between 0 and 1: divide l(x) by its radix (usually 100000)\n"
     "qev: data.dat: line 2: warning: the value rises from age 0 to age 1: "
     "shares still alive never rise with age (is this q(x) or m(x)?)\n",
     1},
    // A search that stops because an error is NaN, with the start values
    // and a finite RMSE, is no fit; one of fewer than 4 records fits
    // anything; a name with a double quote is quoted as CSV quotes it.
    // A restart searches again from where the last search ended; the row
    // has the last search's status and every search's iterations.
    {"--tsv --restarts=1: a search run to the limit starts again",
     "",
     {"--tsv", "--restarts=1", "--start=6.1,-26.4,-47.6",
      ex + "/us-2011-male.dat"},
     tsv_header + ex +
         "/us-2011-male.dat\t22070246325.958954\t-68791899712.290421\t"
         "-2679559533.5145826\t0.8114158228642232\t10061\tconverged\t101\t"
         "NaN\tNaN\tNaN\tNaN\tNaN\tNaN\t\n",
     "",
     1},
    {"--tsv: no fit at age 105, and a name with quotes",
     "0 1\n20 0.99163\n40 0.9754\n60 0.91411\n80 0.65501\n100 0.03128\n"
     "105 0.0033\n",
     {"--tsv", "\"q\"uote.dat"},
     tsv_header +
         "\"\"\"q\"\"uote.dat\"\t0.029999999999999999\t0.050000000000000003\t"
         "0.01\t0.083729843108067067\t36\tno-fit\t7\tNaN\tNaN\tNaN\tNaN\t"
         "NaN\tNaN\tage-105\n",
     "qev: \"q\"uote.dat: line 7: warning: age 105 is where the curve ends (u "
     "is infinite there), and the search can stop at its start: drop it\n",
     1,
     "\"q\"uote.dat"},
    {"--tsv: one record is too few",
     "0 0.5\n",
     {"--tsv", "--start=1,2", "data.dat"},
     tsv_header + "data.dat\t1\t2\t0.01\t0.5\t0\ttoo-few-records\t1\tNaN\t"
                  "NaN\tNaN\tNaN\tNaN\tNaN\tfew-records,l0\n",
     "qev: data.dat: line 1: warning: the value at age 0 is 0.5, not 1: is the "
     "radix right?\n"
     "qev: data.dat: warning: 1 record, fewer than 4: the curve's three "
     "parameters fit so few records without meaning anything\n",
     1},
    {"-- ends the options: a file named like an option",
     six,
     {"--", "--fitted"},
     six_fit,
     "",
     1,
     "--fitted"},
    {"--tsv -- and a file named like an option",
     six,
     {"--tsv", "--", "--fitted"},
     tsv_header + "--fitted" + six_row,
     "",
     1,
     "--fitted"},
    {"--help and --version need not be alone",
     "",
     {"--version", "data.dat"},
     "qev " QEV_VERSION "\n",
     "",
     0},
    // Usage errors: status 2, nothing on standard output.
    {"unknown option",
     "",
     {"--fitted.dat"},
     "",
     "qev: unknown option: --fitted.dat\n" + try_help,
     2},
    {"--start that is not a number",
     "",
     {"--tsv", "--start=1,x", "data.dat"},
     "",
     "qev: --start takes one to three numbers A,B,C: --start=1,x\n" + try_help,
     2},
    {"--start with four numbers",
     "",
     {"--fitted", "--start=1,2,3,4", "data.dat"},
     "",
     "qev: --start takes one to three numbers A,B,C: --start=1,2,3,4\n" +
         try_help,
     2},
    {"--start that is not finite",
     "",
     {"--tsv", "--start=nan", "data.dat"},
     "",
     "qev: --start takes one to three numbers A,B,C: --start=nan\n" + try_help,
     2},
    {"--start without a value",
     "",
     {"--tsv", "--start"},
     "",
     "qev: option needs a value: --start\n" + try_help,
     2},
    {"--start without a table",
     "",
     {"--start=1", "data.dat"},
     "",
     "qev: --start goes with --tsv or --fitted\n" + try_help,
     2},
    {"two modes",
     "",
     {"--tsv", "--fitted", "data.dat"},
     "",
     "qev: only one of --tsv, --fitted, --help and --version, not also "
     "--fitted\n" +
         try_help,
     2},
    {"--tsv without files",
     "",
     {"--tsv"},
     "",
     "qev: no data file named\n" + try_help,
     2},
    {"--by without --age and --value",
     "",
     {"--tsv", "--by=Year", "data.dat"},
     "",
     "qev: --by, --radix, --require-open, --na, --sep, --sorted, --where and "
     "--decimal go with --age and --value\n" +
         try_help,
     2},
    {"--jobs=0 is every core",
     "",
     {"--tsv", "--age=x", "--value=y", "--jobs=0", "data.dat"},
     tsv_header,
     "qev: data.dat: no header line holds all the columns named (\"x\", "
     "\"y\"): no line holds \"x\", \"y\"; the file is empty\n",
     2},
    // Long tables.  The North group is the six records above, so its row
    // holds the same bits as the data file's.
    {"long CSV: BOM, CRLF, quoted keys, an open age group, a missing value",
     "\xef\xbb\xbfregion,sex,age,lx\r\n" +
         each_line(replace_all(six, "\t", ","), "\"North, \"\"up\"\"\",F,",
                   "\r\n") +
         "\"North, \"\"up\"\"\",F,110+,0\r\nSouth,F,0,1\nSouth,F,20,.\n"
         "South,F,40,0.95866\nSouth,F,60,0.85999\nSouth,F,80,0.50846\n"
         "South,F,100,0.00987\n",
     {"--tsv", "--age=age", "--value=lx", "--by=region,sex", "data.csv"},
     "file\tregion\tsex\t" + tsv_header.substr(5) +
         "data.csv\t\"North, \"\"up\"\"\"\tF" + six_row +
         "data.csv\tSouth\tF\t0.013918901975598572\t0.11981478055216872\t"
         "-0.070548799142609642\t0.0042516560831909597\t183\tconverged\t5\t"
         "77.012888672605143\t76.231556603055935\t0.0029320497850895471\t"
         "0.023410237851535592\t0.025971057494070027\t0.61257619447214162\t\n",
     "qev: data.csv: region=South, sex=F: left out 1 row with no value, from "
     "age 20\n"
     "qev: data.csv: dropped 1 row of ages above 104 in 1 group, 1 row with "
     "no value (NA, NaN, \".\" or empty) in 1 group\n",
     1,
     "data.csv"},
    {"long TSV on two threads: groups apart, age groups, an age above 104, a "
     "refused group among good ones",
     "k\tage\tv\na\t0\t1\nb\t0\t1\na\t0\t0.5\nb\t1-4\t0.9\nb\t5\t0.8\n"
     "b\t10\t0.7\nb\t105\t0.6\n",
     {"--tsv", "--age=age", "--value=v", "--by=k", "--jobs=2", "data.tsv"},
     "file\tk\t" + tsv_header.substr(5) + "data.tsv\ta" +
         refused_row.substr(0, refused_row.size() - 1) +
         "age-again,few-records\n"
         "data.tsv\tb\t68.778721976741096\t1.0019502760398966\t"
         "0.014530498298371181\t6.530999591512236e-15\t237\tconverged\t4\t"
         "17.959137355788751\t17.995393873018045\t5.5190154587483844e-11\t"
         "2.9640998685233827e-13\t4.7639248040773452e-14\t"
         "2.6259765681027812e-12\t\n",
     "qev: data.tsv: k=a: line 4: age 0 again, first on line 2\n"
     "qev: data.tsv: dropped 1 row of ages above 104 in 1 group\n",
     2,
     "data.tsv"},
    {"--age without --value",
     "",
     {"--tsv", "--age=x", "data.dat"},
     "",
     "qev: a long table needs both --age and --value\n" + try_help,
     2},
    {"--jobs above 1024",
     "",
     {"--tsv", "--jobs=1025", "data.dat"},
     "",
     "qev: --jobs takes a number of threads, 0 to 1024 (0: every core): "
     "--jobs=1025\n" +
         try_help,
     2},
    {"--restarts above 1000",
     "",
     {"--tsv", "--restarts=1001", "data.dat"},
     "",
     "qev: --restarts takes a number, 0 to 1000: --restarts=1001\n" + try_help,
     2},
    {"--restarts without a table",
     "",
     {"--restarts=1", "data.dat"},
     "",
     "qev: --restarts goes with --tsv or --fitted\n" + try_help,
     2},
    {"--jobs without a table",
     "",
     {"--jobs=2", "data.dat"},
     "",
     "qev: --jobs goes with --tsv or --fitted\n" + try_help,
     2},
    refusal("--jobs with a sign", {"--tsv", "--jobs=+2", "data.dat"},
            "--jobs takes a number of threads, 0 to 1024 (0: every core): "
            "--jobs=+2"),
    refusal("--jobs with a letter after it", {"--tsv", "--jobs=2x", "data.dat"},
            "--jobs takes a number of threads, 0 to 1024 (0: every core): "
            "--jobs=2x"),
    refusal("--radix with a letter after it",
            {"--tsv", "--age=x", "--value=y", "--radix=5x", "data.dat"},
            "--radix takes a positive number: --radix=5x"),
    refusal("--radix after a space",
            {"--tsv", "--age=x", "--value=y", "--radix= 5", "data.dat"},
            "--radix takes a positive number: --radix= 5"),
    refusal("--radix that is not finite",
            {"--tsv", "--age=x", "--value=y", "--radix=inf", "data.dat"},
            "--radix takes a positive number: --radix=inf"),
    refusal("--start with an empty first value",
            {"--tsv", "--start=,1", "data.dat"},
            "--start takes one to three numbers A,B,C: --start=,1"),
    refusal("--start after a space", {"--tsv", "--start= 1", "data.dat"},
            "--start takes one to three numbers A,B,C: --start= 1"),
    refusal("--by that starts with a comma",
            {"--tsv", "--age=x", "--value=y", "--by=,a", "data.dat"},
            "--by takes column names NAME[,NAME...]: --by=,a"),
    refusal("--by with an empty name between two",
            {"--tsv", "--age=x", "--value=y", "--by=ab,,cd", "data.dat"},
            "--by takes column names NAME[,NAME...]: --by=ab,,cd"),
    refusal("--by that ends with a comma",
            {"--tsv", "--age=x", "--value=y", "--by=ab,", "data.dat"},
            "--by takes column names NAME[,NAME...]: --by=ab,"),
    refusal("--age with no name", {"--tsv", "--age=", "--value=y", "data.dat"},
            "a column needs a name: --age="),
    {"--tsv: a check of the first kind in the checks column",
     "0 1\n20 0.9\n40 0.8\n60 0.6\n110 0.1\n",
     {"--tsv", "data.dat"},
     tsv_header +
         "data.dat\t0.029999999999999999\t0.050000000000000003\t0.01\tNaN\t1\t"
         "no-fit\t5\tNaN\tNaN\tNaN\tNaN\tNaN\tNaN\tage-range\n",
     "qev: data.dat: line 5: warning: age 110 is outside 0..105, so every "
     "error is NaN: the curve is defined up to age 105; drop older ages and "
     "the open age group\n",
     1},
    {"--tsv: a warning about standard input names it",
     "0\t0.5\n",
     {"--tsv", "-"},
     tsv_header +
         "-\t0.029999999999999999\t0.050000000000000003\t0.01\t0.5\t0\t"
         "too-few-records\t1\tNaN\tNaN\tNaN\tNaN\tNaN\tNaN\t"
         "few-records,l0\n",
     replace_all(half_record, "{file}", "standard input"),
     1,
     "data.dat",
     true},
    {"long table on standard input, a radix below 1, a key with a space",
     "k,age,v\nNorth Sea,0,0.5\nNorth Sea,20,.\nNorth Sea,30,0.45\n"
     "North Sea,40,0.4\nNorth Sea,60,0.3\n",
     {"--tsv", "--age=age", "--value=v", "--by=k", "--radix=0.5", "-"},
     "file\tk\t" + tsv_header.substr(5) +
         "-\tNorth Sea\t-0.034872679202370069\t0.6555701866251934\t"
         "-0.34640981505873092\t5.7955343351681902e-16\t267\tconverged\t4\t"
         "68.211210878680362\t64.069345334302099\t6.3053382859804669e-15\t"
         "1.5072573513301946e-14\t1.1084585736224762e-14\t"
         "6.6174299773044236e-13\t\n",
     "qev: standard input: k=North Sea: left out 1 row with no value, from "
     "age 20\n"
     "qev: standard input: dropped 1 row with no value (NA, NaN, \".\" or "
     "empty) in 1 "
     "group\n",
     1,
     "data.csv",
     true},
    // R's write.table(sep = "\t"): every text quoted, the header too, and
    // row names under no header; NA for a missing value.  The open age
    // group is age 100, the last of the six records.
    {"long TSV as R writes it: quotes, row names, NA, an open age group",
     "\"k\"\t\"age\"\t\"lx\"\n" +
         each_line(replace_all(six, "100\t", "100+\t"),
                   "\"1\"\t\"The \"\"Q\"\" Land\"\t", "\n") +
         "\"7\"\t\"The \"\"Q\"\" Land\"\t50\tNA\n"
         "\"8\"\t\"The \"\"Q\"\" Land\"\t110+\t0\n",
     {"--tsv", "--age=age", "--value=lx", "--by=k", "data.tsv"},
     "file\tk\t" + tsv_header.substr(5) + "data.tsv\t\"The \"\"Q\"\" Land\"" +
         six_row,
     "qev: data.tsv: k=The \\\"Q\\\" Land: left out 1 row with no value, from "
     "age 50\n"
     "qev: data.tsv: dropped 1 row of ages above 104 in 1 group, 1 row with "
     "no value (NA, NaN, \".\" or empty) in 1 group\n",
     1,
     "data.tsv"},
    {"semicolons, spaces around header fields and numbers, UTF-8 keys",
     "Land; Age; lx\n" +
         each_line(replace_all(six, "\t", " ; "), "C\xc3\xb4te d'Ivoire;",
                   " \n") +
         "C\xc3\xb4te d'Ivoire;90;\n",
     {"--tsv", "--age=Age", "--value=lx", "--by=Land", "data.csv"},
     "file\tLand\t" + tsv_header.substr(5) + "data.csv\tC\xc3\xb4te d'Ivoire" +
         six_row,
     "qev: data.csv: Land=C\xc3\xb4te d'Ivoire: left out 1 row with no value, "
     "from age 90\n"
     "qev: data.csv: dropped 1 row with no value (NA, NaN, \".\" or empty) in "
     "1 group\n",
     1,
     "data.csv"},
    {"--sep and --na choose the separator and more missing values",
     "k|age|v\n" + each_line(replace_all(six, "\t", "|"), "a\\b|", "\n") +
         "a\\b|10|-\na\\b|30|..\n",
     {"--tsv", "--age=age", "--value=v", "--by=k", "--sep=|", "--na=-,..",
      "data.txt"},
     "file\tk\t" + tsv_header.substr(5) + "data.txt\ta\\b" + six_row,
     "qev: data.txt: k=a\\\\b: left out 2 rows with no value, from age 10\n"
     "qev: data.txt: dropped 2 rows with no value (NA, NaN, \".\", \"-\", "
     "\"..\" or empty) in 1 group\n",
     1,
     "data.txt"},
    {"a decimal comma is refused with a hint",
     "Year;Age;lx\n1990;0;1\n1990;20;0,98739\n",
     {"--tsv", "--age=Age", "--value=lx", "--by=Year", "data.csv"},
     "file\tYear\t" + tsv_header.substr(5),
     "qev: data.csv: line 3: value \"0,98739\" is not a number: a decimal "
     "comma? qev reads a decimal point only\n",
     2,
     "data.csv"},
    {"a header and no rows",
     "Year,Age,lx\n\n",
     {"--tsv", "--age=Age", "--value=lx", "--by=Year", "data.csv"},
     "file\tYear\t" + tsv_header.substr(5),
     "qev: data.csv: no rows after the header on line 1\n",
     2,
     "data.csv"},
    refusal("--by with the name of a result column",
            {"--tsv", "--age=age", "--value=v", "--by=k,rmse", "data.csv"},
            "a --by column may not have the name of a column qev writes: "
            "rmse"),
    refusal("--by named file",
            {"--fitted", "--age=age", "--value=v", "--by=file", "data.csv"},
            "a --by column may not have the name of a column qev writes: "
            "file"),
    refusal("--sep of two characters",
            {"--tsv", "--age=age", "--value=v", "--sep=;;", "data.csv"},
            "--sep takes one character: --sep=;;"),
    refusal("--na with an empty text",
            {"--tsv", "--age=age", "--value=v", "--na=-,", "data.csv"},
            "--na takes texts TEXT[,TEXT...]: --na=-,"),
    {"--sorted: each group written as it is fitted, a group again refused",
     "k\tage\tv\n" + each_line(six, "a\t", "\n") + each_line(six, "b\t", "\n") +
         "a\t110\t0\n",
     {"--tsv", "--sorted", "--jobs=2", "--age=age", "--value=v", "--by=k",
      "data.tsv"},
     "file\tk\t" + tsv_header.substr(5) + "data.tsv\ta" + six_row +
         "data.tsv\tb" + six_row,
     "qev: data.tsv: line 14: k=a again, after other groups: with --sorted, "
     "each group's rows must be together\n",
     2,
     "data.tsv"},
    {"--sorted: a refused row keeps the groups before its own",
     "k\tage\tv\n" + each_line(six, "a\t", "\n") + "b\t0\t1\nb\tx\t1\n",
     {"--tsv", "--sorted", "--age=age", "--value=v", "--by=k", "data.tsv"},
     "file\tk\t" + tsv_header.substr(5) + "data.tsv\ta" + six_row,
     "qev: data.tsv: line 9: \"x\" is not an age (a whole number, N-M or "
     "N+)\n",
     2,
     "data.tsv"},
    {"--sorted: a group again names all its keys",
     "k\tj\tage\tv\na\tx\t0\t1\nb\ty\t0\t1\na\tx\t5\t0.9\n",
     {"--tsv", "--sorted", "--age=age", "--value=v", "--by=k,j", "data.tsv"},
     "file\tk\tj\t" + tsv_header.substr(5) + "data.tsv\ta\tx" + one_row +
         "data.tsv\tb\ty" + one_row,
     "qev: data.tsv: line 4: k=a, j=x again, after other groups: with "
     "--sorted, each group's rows must be together\n" +
         one_long("data.tsv: k=a, j=x") + one_long("data.tsv: k=b, j=y"),
     2,
     "data.tsv"},
    // --where keeps the rows whose column holds one of its values, with
    // and without --sorted, and counts the others.
    {"--where keeps the rows of its values and counts the rest",
     "k,unit,age,v\na,A,0,1\nb,B ,0,1\nc, C,0,1\nb,B,1,1\n",
     {"--tsv", "--age=age", "--value=v", "--by=k", "--where=unit=A,C",
      "data.csv"},
     "file\tk\t" + tsv_header.substr(5) + "data.csv\ta" + one_row +
         "data.csv\tc" + one_row,
     one_long("data.csv: k=a") + one_long("data.csv: k=c") +
         "qev: data.csv: skipped 2 rows whose unit is none of --where's "
         "values\n",
     1,
     "data.csv"},
    {"--where with --sorted",
     "k,unit,age,v\na,A,0,1\nb,B,0,1\n",
     {"--tsv", "--sorted", "--age=age", "--value=v", "--by=k", "--where=unit=B",
      "data.csv"},
     "file\tk\t" + tsv_header.substr(5) + "data.csv\tb" + one_row,
     one_long("data.csv: k=b") +
         "qev: data.csv: skipped 1 row whose unit is none of --where's "
         "values\n",
     1,
     "data.csv"},
    {"--where naming a column that is not there is refused before a row",
     "k,age,v\na,0,1\n",
     {"--tsv", "--age=age", "--value=v", "--where=unit=A", "data.csv"},
     "file\t" + tsv_header.substr(5),
     "qev: data.csv: no header line holds all the columns named (\"age\", "
     "\"v\", \"unit\"): no line holds \"unit\"; the first line is "
     "\"k,age,v\"\n",
     2,
     "data.csv"},
    {"--decimal=, with a comma separator is refused at the header",
     "age,v\n0,1\n",
     {"--tsv", "--age=age", "--value=v", "--decimal=,", "data.csv"},
     "file\t" + tsv_header.substr(5),
     "qev: data.csv: line 1: fields separated by commas cannot hold decimal "
     "commas: give a file separated by semicolons or tabs with --decimal=,\n",
     2,
     "data.csv"},
    {"--decimal=, refuses a value with a point",
     "age;v\n0;1\n1;0.5\n",
     {"--tsv", "--age=age", "--value=v", "--decimal=,", "data.csv"},
     "file\t" + tsv_header.substr(5),
     "qev: data.csv: line 3: value \"0.5\" is not a number\n",
     2,
     "data.csv"},
    {"--decimal takes . or ,",
     "",
     {"--tsv", "--age=age", "--value=v", "--decimal=;", "data.csv"},
     "",
     "qev: --decimal takes the decimal mark, . or ,: --decimal=;\n" + try_help,
     2},
    {"--where without a value",
     "",
     {"--tsv", "--age=age", "--value=v", "--where=unit=", "data.csv"},
     "",
     "qev: --where takes COL=VALUE[,VALUE...]: --where=unit=\n" + try_help,
     2},
    {"a long table's group of more than 200 records is refused, counted",
     "k\tage\tv\n" + many_rows(250),
     {"--tsv", "--age=age", "--value=v", "--by=k", "data.tsv"},
     "file\tk\t" + tsv_header.substr(5) + "data.tsv\ta" + refused_row,
     "qev: data.tsv: k=a: more than 200 records: the table has 250; is a "
     "--by column missing?\n",
     2,
     "data.tsv"},
    {"an empty long table",
     "",
     {"--tsv", "--age=age", "--value=v", "data.csv"},
     "file\t" + tsv_header.substr(5),
     "qev: data.csv: no header line holds all the columns named (\"age\", "
     "\"v\"): no line holds \"age\", \"v\"; the file is empty\n",
     2,
     "data.csv"},
    // A quote opens a quoted field only at a field's start, and not at all
    // before the header; in TSV a quote inside a field is text.
    {"quotes before the header and inside a TSV field",
     "\"title\nk\tage\tv\n5'2\"\t0\t1\n",
     {"--tsv", "--age=age", "--value=v", "--by=k", "data.tsv"},
     "file\tk\t" + tsv_header.substr(5) + "data.tsv\t\"5'2\"\"\"" + one_row,
     one_long("data.tsv: k=5'2\\\""),
     1,
     "data.tsv"},
    {"a quoted field with a line end after a separator",
     "age,k,v\n0,\"North\nSea\",1\n",
     {"--tsv", "--age=age", "--value=v", "--by=k", "data.csv"},
     "file\tk\t" + tsv_header.substr(5) + "data.csv\t\"North\nSea\"" + one_row,
     one_long("data.csv: k=North\\x0aSea"),
     1,
     "data.csv"},
    {"a comma that is not a decimal comma gets no hint",
     "k,age,v\na,0,\"1,5x\"\n",
     {"--tsv", "--age=age", "--value=v", "--by=k", "data.csv"},
     "file\tk\t" + tsv_header.substr(5),
     "qev: data.csv: line 2: value \"1,5x\" is not a number\n",
     2,
     "data.csv"},
    {"a line of spaces in the HMD layout is blank",
     "Year Age lx\n2000 0 1\n   \n2000 1 0.9\n",
     {"--tsv", "--age=Age", "--value=lx", "--by=Year", "data.txt"},
     "file\tYear\t" + tsv_header.substr(5) +
         "data.txt\t2000\t9.0889085034440438\t0.69966499889993417\t"
         "0.048955368600720056\t3.1401849173675503e-16\t140\ttoo-few-records\t"
         "2\tNaN\tNaN\tNaN\tNaN\tNaN\tNaN\tfew-records\n",
     "qev: data.txt: Year=2000: warning: 2 records, fewer than 4: the curve's "
     "three parameters fit so few records without meaning anything\n",
     1,
     "data.txt"},
    refusal("--sep with no character",
            {"--tsv", "--age=age", "--value=v", "--sep=", "data.csv"},
            "--sep takes one character: --sep="),
    refusal("--sep of a quote",
            {"--tsv", "--age=age", "--value=v", "--sep=\"", "data.csv"},
            "--sep takes one character: --sep=\""),
    {"--restarts=0 is no restart",
     six,
     {"--tsv", "--restarts=0", "data.dat"},
     tsv_header + "data.dat" + six_row,
     "",
     1},
    // Data files on threads: the rows and messages of one thread, in order.
    {"--tsv --jobs=1024 over data files, a refused one among them",
     six,
     {"--tsv", "--jobs=1024", "data.dat", "missing.dat", "data.dat"},
     tsv_header + "data.dat" + six_row + "missing.dat" + refused_row +
         "data.dat" + six_row,
     "qev: missing.dat: No such file or directory\n",
     2},
    {"--fitted --jobs=2 over data files",
     "0 1\n1 inf\n20 0.98739\n40 0.95866\n",
     {"--fitted", "--jobs=2", "data.dat", "data.dat"},
     "file\tage\tobserved\tfitted\tresidual\n" +
         repeat("data.dat\t0\t1\t1\t0\n"
                "data.dat\t1\tInf\t0.98662006380365597\tInf\n"
                "data.dat\t20\t0.98738999999999999\t0.96511727302821115\t"
                "0.022272726971788837\n"
                "data.dat\t40\t0.95865999999999996\t0.94064611817491894\t"
                "0.018013881825081013\n",
                2),
     repeat("qev: data.dat: line 2: warning: value inf is not a share still "
            "alive between 0 and 1: divide l(x) by its radix (usually "
            "100000)\n"
            "qev: data.dat: line 2: warning: the value rises from age 0 to age "
            "1: shares still alive never rise with age (is this q(x) or "
            "m(x)?)\n",
            2),
     1},
    // The long-table rows of the data files above give the same numbers.
    {"long table: values only strtod reads, an age group N-N",
     "k\tage\tv\nA\t0\t0x1p+0\nA\t20\tinf\nA\t5-5\t0.99\nA\t40\t0.95866\n"
     "A\t60\t0.85999\n",
     {"--fitted", "--age=age", "--value=v", "--by=k", "data.tsv"},
     "file\tk\tage\tobserved\tfitted\tresidual\n"
     "data.tsv\tA\t0\t1\t1\t0\n"
     "data.tsv\tA\t20\tInf\t0.96511727302821115\tInf\n"
     "data.tsv\tA\t5\t0.98999999999999999\t0.97912039764347081\t"
     "0.010879602356529183\n"
     "data.tsv\tA\t40\t0.95865999999999996\t0.94064611817491894\t"
     "0.018013881825081013\n"
     "data.tsv\tA\t60\t0.85999000000000003\t0.85860312790894966\t"
     "0.0013868720910503729\n",
     "qev: data.tsv: k=A: line 3: warning: value inf is not a share still "
     "alive between 0 and 1: give --radix=100000 (or l(x)'s radix)\n"
     "qev: data.tsv: k=A: line 3: warning: the value rises from age 5 to age "
     "20: shares still alive never rise with age (is this q(x) or m(x)?)\n",
     1,
     "data.tsv"},
    {"long table: --start as for data files",
     "age\tv\n0\t1\n50\t0.9\n",
     {"--fitted", "--start=0.5", "--age=age", "--value=v", "data.tsv"},
     "file\tage\tobserved\tfitted\tresidual\n"
     "data.tsv\t0\t1\t1\t0\n"
     "data.tsv\t50\t0.90000000000000002\t0.89999999999999925\t"
     "7.7715611723760958e-16\n",
     "qev: data.tsv: warning: 2 records, fewer than 4: the curve's three "
     "parameters fit so few records without meaning anything\n",
     1,
     "data.tsv"},
    {"long CSV: a doubled quote ends a quoted key",
     "k,age,v\n\"North \"\"\",0,1\n\"North \"\"\",20,0.98739\n"
     "\"North \"\"\",40,0.95866\n\"North \"\"\",60,0.85999\n",
     {"--tsv", "--age=age", "--value=v", "--by=k", "data.csv"},
     "file\tk\t" + tsv_header.substr(5) +
         "data.csv\t\"North \"\"\"\t0.036838891902452361\t"
         "0.054646090334882685\t-0.015854544761326236\t1.2244456411892956e-14\t"
         "254\tconverged\t4\t74.243792722448404\t73.879117833157167\t"
         "5.4648042451740457e-14\t1.1762027241064659e-13\t"
         "7.8559254149810925e-14\t4.6597319183531662e-12\t\n",
     "",
     1,
     "data.csv"},
    {"long CSV: lines count on after a quoted line end",
     "k,age,v\n\"a\nb\",0,1\nx,1\n",
     {"--tsv", "--age=age", "--value=v", "--by=k", "data.csv"},
     "file\tk\t" + tsv_header.substr(5),
     "qev: data.csv: line 4: 2 fields, where the header has 3\n",
     2,
     "data.csv"},
    // What a wrong radix or a wrong column looks like in the row itself.
    {"long table: --radix 10 times too large shows as l0",
     "k,age,lx\nA,0,100000\nA,20,98739\nA,40,95866\nA,60,85999\n",
     {"--tsv", "--age=age", "--value=lx", "--by=k", "--radix=1000000",
      "data.csv"},
     "file\tk\t" + tsv_header.substr(5) +
         "data.csv\tA\t0.36839365900209786\t0.54645598470582746\t"
         "8.8414533809397362\t0.4500000000000009\t92\tconverged\t4\t"
         "7.5403961471421797\t7.3879076287391614\t200.83865824054953\t"
         "432.26974069458697\t288.71544788221968\t173.52676344045835\tl0\n",
     "qev: data.csv: k=A: line 2: warning: the value at age 0 is 0.1, not 1, "
     "with --radix=1000000: is that the table's radix?\n",
     1,
     "data.csv"},
    {"long table: q(x) for l(x) rises",
     "age,qx\n0,0.0058\n1,0.0004\n5,0.0001\n20,0.0009\n60,0.009\n",
     {"--tsv", "--age=age", "--value=qx", "data.csv"},
     tsv_header +
         "data.csv\t4269.4392606019428\t-9572.5193074119525\t"
         "5989.7249310986235\t0.44461976857580554\t10000\tnot-convergent\t5\t"
         "NaN\tNaN\t12839883.99230307\t26086351.795573067\t"
         "13207801.71071157\tNaN\trises,l0\n",
     "qev: data.csv: line 2: warning: the value at age 0 is 0.0058, not 1: is "
     "the radix right?\n"
     "qev: data.csv: line 5: warning: the value rises from age 5 to age 20: "
     "shares still alive never rise with age (is this q(x) or m(x)?)\n",
     1,
     "data.csv"},
    {"long table without a column named",
     "Year Age lx\n2000 0 100000\n",
     {"--fitted", "--age=Age", "--value=lx", "--by=Year,Sex", "data.txt"},
     "file\tYear\tSex\tage\tobserved\tfitted\tresidual\n",
     "qev: data.txt: no header line holds all the columns named (\"Age\", "
     "\"lx\", \"Year\", \"Sex\"): no line holds \"Sex\"; the first line is "
     "\"Year Age lx\"\n",
     2,
     "data.txt"},
    {"long table: a row cut short is refused at its line",
     "Year Age lx\n2000 0 100000\n2000 1\n",
     {"--tsv", "--age=Age", "--value=lx", "--by=Year", "data.txt"},
     "file\tYear\t" + tsv_header.substr(5),
     "qev: data.txt: line 3: 2 fields, where the header has 3\n",
     2,
     "data.txt"},
};

void check_cases(const cli_case *cases, size_t n) {
  const std::string dir = scratch();
  for (const cli_case &t : std::vector<cli_case>(cases, cases + n)) {
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
    unlink(file.c_str());
  }
}

TEST(Cli, OutputErrorsAndStatusMatchExactly) {
  check_cases(cli_cases, std::size(cli_cases));
}

TEST(Cli, ModesMatchExactly) { check_cases(mode_cases, std::size(mode_cases)); }

// --tsv holds the very doubles of the search: read back with strtod they
// equal the search's own result bit for bit, and printed with the report's
// format they give the plain report.
TEST(Cli, TsvHoldsTheVeryDoublesOfTheSearch) {
  const char *tables[] = {"us-2011-male.dat", "us-2011-female.dat",
                          "us-1940-male.dat", "finland-2013-female.dat"};
  std::vector<std::string> args = {"--tsv"};
  for (const char *t : tables) args.push_back(ex + "/" + t);
  std::istringstream rows(run_qev(args).out);
  std::string line;
  std::getline(rows, line);
  for (const char *t : tables) {
    SCOPED_TRACE(t);
    ASSERT_TRUE(std::getline(rows, line));
    double got[4];
    const char *p = std::strchr(line.c_str(), '\t');
    for (double &x : got) {
      char *end = nullptr;
      x = std::strtod(p + 1, &end);
      p = end;
    }
    char plain[128];
    std::snprintf(plain, sizeof plain, "a= %lf, b= %lf, c= %lf, RMSE=%e\n",
                  got[0], got[1], got[2], got[3]);
    EXPECT_EQ(plain, run_qev({ex + "/" + t}).out);
    // The C interface on the same records gives the same doubles.
    context ctx;
    init_context(&ctx);
    read_report rep;
    ASSERT_GT(load_data((ex + "/" + t).c_str(), &ctx, &rep, nullptr), 0);
    qev_result r;
    ASSERT_EQ(qev_fit(ctx.age, ctx.life, ctx.n_data, nullptr, &r), QEV_OK);
    EXPECT_EQ(got[0], r.a);
    EXPECT_EQ(got[1], r.b);
    EXPECT_EQ(got[2], r.c);
    EXPECT_EQ(got[3], r.rmse);
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
    const run_result r = run(QEV_SCRIPTS "/qev-plot", args);
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
  std::ofstream(dir + "/counts.dat")
      << "0 100000\n20 98739\n40 95866\n60 85999\n80 50846\n";
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
           "/empty.dat: no fit to draw: 0 records, fewer than "
           "4\n",
       1},
      {"values that are not shares",
       {dir + "/counts.dat", "-o", out},
       "qev: " + dir +
           "/counts.dat: line 1: warning: value 100000 is not a share still "
           "alive between 0 and 1: divide l(x) by its radix (usually "
           "100000)\n"
           "qev: " +
           dir +
           "/counts.dat: line 1: warning: the value at age 0 is 100000, not 1: "
           "is the radix right?\n"
           "qev-plot: " +
           dir +
           "/counts.dat: its values are not all shares still alive between 0 "
           "and 1, so they would fall outside the picture (l(x) with its "
           "radix? divide it by the radix)\n",
       2},
      {"start value that is not a number",
       {ex + "/us-2011-male.dat", "abc", "-o", out},
       "qev-plot: start value \"abc\" is not a number\n",
       2},
      {"gnuplot fails",
       {ex + "/us-2011-male.dat", "-o", out},
       "broken\nqev-plot: " + out + ": gnuplot could not draw the picture\n",
       2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.status == 2) setenv("PATH", (dir + "/bin:" + path).c_str(), 1);
    const run_result r = run(QEV_SCRIPTS "/qev-plot", c.args);
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(access(out.c_str(), F_OK), 0) << out << " was written";
  }
}

// The HMD importer on the shipped file and on small hand-made files in the
// other layouts: abridged ages, spans of years, a cohort with ages not yet
// reached, and files that are not HMD life tables.
const std::string hmd_head =
    "Somewhere, Life tables (period 5x1), Females\tLast modified: 01 Jan "
    "2026;  Methods Protocol: v6 (2017)\n\n"
    "  Year          Age         mx       qx    ax      lx      dx      Lx"
    "       Tx     ex\n";
const std::string year_header =
    "year\ta\tb\tc\trmse\titerations\tstatus\trecords\te0_fit\te0_table\t"
    "se_a\tse_b\tse_c\tse_e0_fit\tchecks\n";

struct hmd_case {
  const char *name;
  std::string input;  // "" for the shipped file
  std::vector<std::string> options;
  std::string out;  // the whole output, or its first lines for the shipped file
  std::string err;
  int status;
  std::string written = "";  // with --split=out: what out/2000.dat holds
};

const hmd_case hmd_cases[] = {
    {"shipped 1x1 period table, 1933 to 2021",
     "",
     {},
     year_header +
         "1933\t0.071393060518783219\t0.15958287923353531\t"
         "0.027235936973589812\t0.0046628773555475369\t162\tconverged\t105\t"
         "62.786726820094486\t62.808738078651238\t0.00078419173358577898\t"
         "0.0025446837121341098\t0.0017665512640933025\t0.044573598687286275\t"
         "\n",
     "qev: " + ex +
         "/hmd/USA.fltper_1x1.txt: dropped 534 rows of ages above 104 in 89 "
         "groups\n",
     0},
    {"abridged ages: the group starts up to 100",
     hmd_head + "  2000    0  0.005 0.005 0.14 100000 500 99569 8147621 81.48\n"
                "  2000  1-4  0.0002 0.0008 1.5 99500 80 397800 8048052 80.89\n"
                "  2000  5-9  0.0001 0.0005 2.5 99420 50 496975 7650252 76.95\n"
                "  2000  95-99  0.3 0.8 2.0 20000 16000 50000 60000 3.00\n"
                "  2000  100-104  0.5 0.9 2.0 4000 3600 7000 10000 2.50\n"
                "  2000  105-109  0.7 1.0 1.4 400 400 600 700 1.75\n"
                "  2000  110+  0.7 1.0 1.4 10 10 14 14 1.40\n",
     {"--split=out"},
     "out/2000.dat\n",
     "qev: hmd.txt: dropped 2 rows of ages above 104 in 1 group\n",
     0,
     "0\t1\n1\t0.995\n5\t0.9942\n95\t0.2\n100\t0.04\n"},
    {"spans of years",
     hmd_head +
         "  1930-1934  0  0.05 0.05 0.26 100000 5000 96130 6279695 62.80\n"
         "  1930-1934  1  0.008 0.008 0.5 95000 760 94374 6183565 65.23\n"
         "  1930-1934  110+  0.8 1 1.2 2 2 2 2 1.2\n"
         "  1935-1939  0  0.04 0.04 0.26 100000 4000 96130 6279695 64.80\n"
         "  1935-1939  1  0.007 0.007 0.5 96000 672 94374 6183565 66.23\n"
         "  1935-1939  110+  0.8 1 1.2 2 2 2 2 1.2\n",
     {},
     year_header +
         "1930-1934\t9.3194494587306878\t0.30911968279969715\t"
         "0.025719338410378635\t3.1401849173675503e-16\t140\ttoo-few-records\t"
         "2\tNaN\tNaN\tNaN\tNaN\tNaN\tNaN\tfew-records\n"
         "1935-1939\t9.3497733533549621\t0.23394788776188552\t"
         "0.021583650400309504\t2.3551386880256624e-16\t141\ttoo-few-records\t"
         "2\tNaN\tNaN\tNaN\tNaN\tNaN\tNaN\tfew-records\n",
     "qev: hmd.txt: Year=1930-1934: warning: 2 records, fewer than 4: the "
     "curve's three parameters fit so few records without meaning anything\n"
     "qev: hmd.txt: Year=1935-1939: warning: 2 records, fewer than 4: the "
     "curve's three parameters fit so few records without meaning anything\n"
     "qev: hmd.txt: dropped 2 rows of ages above 104 in 2 groups\n",
     0},
    {"cohort with ages not yet reached",
     hmd_head + "  1990  0  0.005 0.005 0.14 100000 500 99569 . .\n"
                "  1990  1  0.0002 0.0008 0.5 99500 80 99460 . .\n"
                "  1990  2  . . . . . . . .\n"
                "  1990  3  . . . . . . . .\n"
                "  1990  110+  . . . . . . . .\n",
     {},
     year_header + "1990\t0.59097727818382695\t0.10562879991941049\t"
                   "-0.0061967419798817161\t2.3551386880256624e-16\t137\t"
                   "too-few-records\t2\tNaN\tNaN\tNaN\tNaN\tNaN\tNaN\t"
                   "few-records\n",
     "qev: hmd.txt: Year=1990: left out 2 rows with no value, from age 2\n"
     "qev: hmd.txt: Year=1990: warning: 2 records, fewer than 4: the curve's "
     "three parameters fit so few records without meaning anything\n"
     "qev: hmd.txt: dropped 1 row of ages above 104 in 1 group, 2 rows with "
     "no value (NA, NaN, \".\" or empty) in 1 group\n",
     0},
    // A file cut at a line end: its last year is refused, not fitted as if
    // it were whole, and --split writes no file for it.
    {"a year cut short before its open age group",
     hmd_head + "  2000  0  0.1 0.1 0.1 100000 1 1 1 1\n"
                "  2000  1  0.1 0.1 0.1 99500 1 1 1 1\n"
                "  2000  5  0.1 0.1 0.1 99420 1 1 1 1\n"
                "  2000  95  0.1 0.1 0.1 20000 1 1 1 1\n"
                "  2000  100  0.1 0.1 0.1 4000 1 1 1 1\n"
                "  2000  110+  0.1 0.1 0.1 10 1 1 1 1\n"
                "  2001  0  0.1 0.1 0.1 100000 1 1 1 1\n"
                "  2001  1  0.1 0.1 0.1 99000 1 1 1 1\n",
     {"--split=out"},
     "out/2000.dat\n",
     "qev: hmd.txt: Year=2001: its last row is not an open age group (N+): is "
     "the file cut short?\n"
     "qev: hmd.txt: dropped 1 row of ages above 104 in 1 group\n",
     2,
     "0\t1\n1\t0.995\n5\t0.9942\n95\t0.2\n100\t0.04\n"},
    {"not an HMD life table",
     "age life\n0 1\n1 0.9\n",
     {},
     year_header.substr(0, 5) + year_header.substr(5),
     "qev: hmd.txt: no header line holds all the columns named (\"Age\", "
     "\"lx\", \"Year\"): no line holds \"Age\", \"lx\", \"Year\"; the first "
     "line is \"age life\"\n",
     2},
    {"a row cut short",
     hmd_head + "  2000  0  0.1 0.1 0.1 100000 1 1 1 1\n"
                "  2000  1  0.1 0.1 0.1 99000 1 1 1\n",
     {},
     year_header,
     "qev: hmd.txt: line 5: 9 fields, where the header has 10\n",
     2},
};

TEST(Hmd, ImportsEveryLayout) {
  setenv("QEV", QEV_BINARY, 1);
  const std::string dir = scratch();
  for (const hmd_case &t : hmd_cases) {
    SCOPED_TRACE(t.name);
    std::vector<std::string> args = t.options;
    if (t.input.empty()) {
      args.push_back(ex + "/hmd/USA.fltper_1x1.txt");
    } else {
      std::ofstream(dir + "/hmd.txt") << t.input;
      args.push_back("hmd.txt");
    }
    const run_result r = run(QEV_SCRIPTS "/qev-hmd", args);
    EXPECT_EQ(r.err, t.err);
    EXPECT_EQ(r.status, t.status);
    if (t.input.empty()) {
      EXPECT_EQ(r.out.substr(0, t.out.size()), t.out);
      EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1 + 89);
      EXPECT_EQ(r.out.find("refused"), std::string::npos);
      EXPECT_EQ(r.out.find("not-convergent"), std::string::npos);
    } else {
      EXPECT_EQ(r.out, t.out);
    }
    if (!t.written.empty()) {
      EXPECT_EQ(slurp(dir + "/out/2000.dat"), t.written);
      EXPECT_NE(access((dir + "/out/2001.dat").c_str(), F_OK), 0);
    }
  }
}

// The table's life expectancy, by the trapezoid rule on l(x) at single ages,
// against the HMD's own e0 (the ex column at age 0, from its Lx) for every
// year: they differ only where l(x) is not straight between ages, mostly in
// the first year of life, and well within 0.05 years.
TEST(Hmd, TableLifeExpectancyIsTheHmdOne) {
  setenv("QEV", QEV_BINARY, 1);
  const std::string file = ex + "/hmd/USA.fltper_1x1.txt";
  std::istringstream fits(run(QEV_SCRIPTS "/qev-hmd", {file}).out);
  std::ifstream hmd(file);
  std::string line;
  std::getline(fits, line);
  int years = 0;
  while (std::getline(hmd, line)) {
    std::istringstream f(line);
    std::string year, x, e0, col;
    if (!(f >> year >> x) || x != "0") continue;
    for (int k = 2; k < 10; ++k) f >> e0;  // ex is the tenth column
    ASSERT_TRUE(std::getline(fits, line)) << year;
    SCOPED_TRACE(line);
    const std::vector<std::string> cell = fields_of(line);
    ASSERT_EQ(cell.size(), 15u);
    EXPECT_EQ(cell[0], year);
    EXPECT_NEAR(std::stod(cell[9]), std::stod(e0), 0.05);
    ++years;
  }
  EXPECT_EQ(years, 89);
}

// Abridged tables (ages 0, 1, 5, 10, ..., 85), the usual national layout,
// closed by the fitted curve: within half a year of the full table's e0.
// The male bar is the NCHS's published e0 of US males in 2011, 76.3 years
// ("United States Life Tables, 2011", the source of the example); the
// female one is the HMD's own e0 of each year.
TEST(Hmd, AbridgedTablesKeepTheirLifeExpectancy) {
  constexpr double bar = 0.5;
  auto abridged = [](int x) {
    return x == 0 || x == 1 || (x % 5 == 0 && x <= 85);
  };
  const std::string dir = scratch();
  // Males: the example, abridged.
  {
    std::ifstream in(ex + "/us-2011-male.dat");
    std::ofstream out(dir + "/male-abridged.dat");
    int x;
    std::string y;
    while (in >> x >> y)
      if (abridged(x)) out << x << '\t' << y << '\n';
  }
  const std::vector<std::string> male = fields_of(
      run_qev({"--tsv", "male-abridged.dat"}).out.substr(tsv_header.size()));
  ASSERT_GE(male.size(), 10u);
  EXPECT_NEAR(std::stod(male[9]), 76.3, bar);
  // Females: every HMD year, abridged.
  std::ifstream hmd(ex + "/hmd/USA.fltper_1x1.txt");
  std::map<std::string, std::string> data, e0;
  for (std::string line; std::getline(hmd, line);) {
    std::istringstream f(line);
    std::vector<std::string> w{std::istream_iterator<std::string>(f), {}};
    if (w.size() != 10 || w[1].back() == '+' || w[0] == "Year") continue;
    const int x = std::stoi(w[1]);
    if (x == 0) e0[w[0]] = w[9];
    char share[32];  // l(x) / 100000, as --radix=100000 gives it
    std::snprintf(share, sizeof share, "%.17g",
                  std::strtod(w[5].c_str(), nullptr) / 100000);
    if (abridged(x)) data[w[0]] += w[1] + "\t" + share + "\n";
  }
  std::vector<std::string> args = {"--tsv"};
  for (const auto &[year, text] : data) {
    std::ofstream(dir + "/" + year + ".dat") << text;
    args.push_back(year + ".dat");
  }
  std::istringstream rows(run_qev(args).out);
  std::string line;
  std::getline(rows, line);
  double worst = 0;
  int years = 0;
  for (const auto &[year, text] : data) {
    ASSERT_TRUE(std::getline(rows, line));
    const std::vector<std::string> f = fields_of(line);
    ASSERT_EQ(f.size(), 15u);
    const double gap = std::fabs(std::stod(f[9]) - std::stod(e0[year]));
    EXPECT_LT(gap, 1.0) << year;
    worst = std::max(worst, gap);
    ++years;
  }
  EXPECT_EQ(years, 89);
  RecordProperty("female_worst_gap", std::to_string(worst));
}

// The shipped HMD file read natively: the rows qev-hmd wrote when it split
// the file into data files (the first and last pinned here), and the same
// bytes on one thread as on two.
TEST(Long, ReadsTheHmdFileAsDataFilesOnAnyNumberOfThreads) {
  const std::string file = ex + "/hmd/USA.fltper_1x1.txt";
  std::vector<std::string> args = {"--tsv",     "--age=Age",      "--value=lx",
                                   "--by=Year", "--radix=100000", "--jobs=1",
                                   file};
  const run_result one = run_qev(args);
  args[5] = "--jobs=2";
  const run_result two = run_qev(args);
  EXPECT_EQ(one.status, 1);
  EXPECT_EQ(one.out, two.out);
  EXPECT_EQ(one.err, two.err);
  EXPECT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 1 + 89);
  const std::string first =
      file +
      "\t1933\t0.071393060518783219\t0.15958287923353531\t"
      "0.027235936973589812\t0.0046628773555475369\t162\tconverged\t105\t"
      "62.786726820094486\t62.808738078651238\t0.00078419173358577898\t"
      "0.0025446837121341098\t0.0017665512640933025\t0.044573598687286275\t"
      "\n";
  const std::string last =
      file +
      "\t2021\t0.0078172970792267319\t0.082656016827958034\t"
      "-0.030807435101719391\t0.017702123463353196\t193\tconverged\t105\t"
      "78.974869003679174\t79.362483809495274\t0.00071418816121715512\t"
      "0.0052301199724801104\t0.0047039168802866637\t0.17354015768615166\t"
      "\n";
  EXPECT_EQ(one.out.substr(one.out.find('\n') + 1, first.size()), first);
  EXPECT_EQ(one.out.substr(one.out.size() - last.size()), last);
}

// The library's grouped call, given the HMD file's rows as a binding gives
// them (age labels read by qev_age_label), fits every year to the very
// numbers of the command line's long-table row.
TEST(Long, GroupedCallGivesTheCommandLinesNumbers) {
  const std::string file = ex + "/hmd/USA.fltper_1x1.txt";
  std::ifstream in(file);
  std::vector<long> group;
  std::vector<int> age, kind;
  std::vector<double> value;
  std::vector<std::string> years;
  bool header = false;
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::vector<std::string> w{std::istream_iterator<std::string>(f), {}};
    if (!header) {
      header = w.size() == 10 && w[0] == "Year";
      continue;
    }
    if (w.size() != 10) continue;
    if (years.empty() || years.back() != w[0]) years.push_back(w[0]);
    int x = 0;
    kind.push_back(qev_age_label(w[1].data(), w[1].size(), &x));
    ASSERT_NE(kind.back(), QEV_AGE_BAD) << w[1];
    group.push_back(long(years.size()) - 1);
    age.push_back(x);
    value.push_back(std::strtod(w[5].c_str(), nullptr));
  }
  ASSERT_EQ(years.size(), 89u);
  const qev_rows rows = {long(group.size()), group.data(), age.data(),
                         kind.data(),        value.data(), nullptr};
  std::vector<qev_result> res(years.size());
  std::vector<qev_drops> drops(years.size());
  ASSERT_EQ(qev_fit_groups(&rows, long(years.size()), 100000, nullptr, 0,
                           res.data(), drops.data()),
            QEV_OK);
  std::istringstream out(run_qev({"--tsv", "--age=Age", "--value=lx",
                                  "--by=Year", "--radix=100000", file})
                             .out);
  std::string line;
  std::getline(out, line);
  std::size_t k = 0;
  for (; std::getline(out, line); ++k) {
    ASSERT_LT(k, years.size());
    SCOPED_TRACE(years[k]);
    const std::vector<std::string> f = fields_of(line);
    ASSERT_EQ(f.size(), 16u);
    EXPECT_EQ(f[1], years[k]);
    const qev_result &r = res[k];
    const double want[] = {r.a, r.b, r.c, r.rmse, r.e0_fit, r.e0_table};
    const int at[] = {2, 3, 4, 5, 9, 10};
    for (int j = 0; j < 6; ++j)
      EXPECT_EQ(std::strtod(f[at[j]].c_str(), nullptr), want[j]) << f[at[j]];
    EXPECT_EQ(f[6], std::to_string(r.iterations));
    EXPECT_EQ(f[7], qev_status_name(r.status));
    EXPECT_EQ(f[8], std::to_string(r.records));
    EXPECT_EQ(drops[k].old_rows, 6);  // 105 to 110+
  }
  EXPECT_EQ(k, years.size());
}

// Rows around the pipe's 4096 bytes and the writer's 65536-byte block go
// out whole and in order: refused groups, whose rows are known to the byte,
// with keys long enough to give rows of those lengths.
TEST(Long, RowsOfEveryLengthGoOutWhole) {
  const std::string head = "file\tk\t" + tsv_header.substr(5);
  const std::string tail =
      "\t\t\t\t\t\trefused\t\t\t\t\t\t\t\tage-again,few-records\n";
  const std::string prefix = "data.tsv\t";
  std::string input = "k\tage\tv\n";
  std::string want = head;
  int rows = 0;
  for (int len : {4095, 4096, 4097, 8191, 65535, 65536, 65537, 70000, 60}) {
    const std::string key(len - prefix.size() - tail.size(), 'k' + rows % 3);
    input += key + "\t0\t1\n" + key + "\t0\t1\n";  // an age twice
    want += prefix + key + tail;
    ++rows;
  }
  const std::string dir = scratch();
  std::ofstream(dir + "/data.tsv", std::ios::binary) << input;
  const run_result r =
      run_qev({"--tsv", "--age=age", "--value=v", "--by=k", "data.tsv"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out.size(), want.size());
  EXPECT_TRUE(r.out == want);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), rows);
}

TEST(Plot, DrawsTheTrendOfAYearTable) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  const std::string dir = scratch();
  std::ofstream(dir + "/years.tsv")
      << year_header
      << "1990\t0.05\t0.1\t-0.01\t0.01\t137\tconverged\t105\t70.1\t70.2\t"
         "0.001\t0.002\t0.002\t0.05\t\n"
         "1991\t0.04\t0.09\t-0.02\t0.012\t10000\tnot-convergent\t105\tNaN\t"
         "70.3\tNaN\tNaN\tNaN\tNaN\t\n"
         "1992\t0.03\t0.08\t-0.03\t0.011\t99\tconverged\t105\t70.5\t70.4\t"
         "0.001\t0.002\t0.002\t0.06\trises\n";
  // A table of the columns before the standard errors still draws, without
  // the band.
  std::ofstream(dir + "/old.tsv")
      << year_header.substr(0, year_header.find("\tse_a")) << "\n"
      << "1990\t0.05\t0.1\t-0.01\t0.01\t137\tconverged\t105\t70.1\t70.2\n"
         "1992\t0.03\t0.08\t-0.03\t0.011\t99\tconverged\t105\t70.5\t70.4\n";
  const run_result old =
      run(QEV_SCRIPTS "/qev-trend",
          {"old.tsv", "-o", "old.svg", "--title", "A \"q\""});
  EXPECT_EQ(old.status, 0) << old.err;
  EXPECT_NE(slurp(dir + "/old.svg").find("A \"q\": the fitted curve"),
            std::string::npos);
  const run_result r =
      run(QEV_SCRIPTS "/qev-trend", {"years.tsv", "-o", "trend.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "trend.png\n");
  EXPECT_EQ(
      r.err,
      "qev-trend: years.tsv: left out 1 row that did not converge, marked "
      "with dashed lines\n");
  EXPECT_EQ(slurp(dir + "/trend.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
  // A table by file, not by year: one message and status 2.
  std::ofstream(dir + "/files.tsv") << tsv_header;
  const run_result f =
      run(QEV_SCRIPTS "/qev-trend", {"files.tsv", "-o", "trend.png"});
  EXPECT_EQ(f.status, 2);
  EXPECT_EQ(f.err,
            "qev-trend: files.tsv: no key column holds years (the columns "
            "before a, file aside); name the column of years with --x=COL\n");
}

// Any table of fits by key draws a line per combination of the keys that
// vary, up to 8: qev's long-table rows, and R's write.table of a fit table
// (quoted, with row names).
TEST(Plot, DrawsALinePerCombinationOfKeys) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  const std::string dir = scratch();
  const run_result fits =
      run_qev({"--tsv", "--age=age", "--value=value",
               "--by=sex,geo,TIME_PERIOD", "--where=indic_de=SURVIVORS",
               "--radix=100000", QEV_TESTS "/eurostat.tsv"},
              dir + "/eurostat-fits.tsv");
  ASSERT_EQ(fits.status, 1);
  const std::string nums =
      "\t0.05\t0.1\t-0.01\t0.01\t137\tconverged\t105\t70.1\t70.2\t0.001\t"
      "0.002\t0.002\t0.05\t\"\"\n";
  std::string r_table =
      "\"k\"\t\"Year\"" + replace_all(year_header.substr(4), "\t", "\"\t\"");
  r_table = replace_all(r_table, "\"\"a", "\"a");
  r_table.replace(r_table.size() - 1, 1, "\"\n");
  std::string many = "k\tYear" + year_header.substr(4);
  for (int k = 0; k < 9; ++k)
    for (int y = 1990; y < 1992; ++y) {
      const std::string key = std::string(1, static_cast<char>('a' + k));
      many += key + "\t" + std::to_string(y) + nums;
      if (k < 2)
        r_table += "\"" + std::to_string(k * 2 + y - 1989) + "\"\t\"" + key +
                   "\"\t" + std::to_string(y) + nums;
    }
  std::ofstream(dir + "/r.tsv") << r_table;
  std::ofstream(dir + "/many.tsv") << many;
  struct trend_case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> has;  // in the SVG, or in standard error
    std::vector<std::string> lacks;
  };
  const trend_case cases[] = {
      // geo has one value, so no entry names it.
      {{"eurostat-fits.tsv"}, 0, {"sex=F", "sex=M", "TIME_PERIOD"}, {"geo="}},
      {{"r.tsv"}, 0, {"k=a", "k=b", "Year"}, {}},
      {{"many.tsv"},
       2,
       {"qev-trend: many.tsv: 9 series (each combination of k) are more than "
        "8 to draw in one picture: pick some with "
        "--where=COL=VALUE[,VALUE...]"},
       {}},
      {{"many.tsv", "--where=k=a,i"}, 0, {"k=a", "k=i"}, {"k=b"}},
      // One series is drawn as one population.
      {{"many.tsv", "--where=k=a"}, 0, {"e0_table (the table)"}, {"k=a"}},
      {{"many.tsv", "--x=k"}, 2, {"--x=k: \"a\" is not a year"}, {}},
  };
  for (const trend_case &t : cases) {
    SCOPED_TRACE(t.args[0] + (t.args.size() > 1 ? " " + t.args[1] : ""));
    std::vector<std::string> args = t.args;
    args.insert(args.end(), {"-o", "t.svg"});
    std::remove((dir + "/t.svg").c_str());
    const run_result r = run(QEV_SCRIPTS "/qev-trend", args);
    EXPECT_EQ(r.status, t.status) << r.err;
    const std::string said = t.status == 0 ? slurp(dir + "/t.svg") : r.err;
    for (const std::string &h : t.has)
      EXPECT_NE(said.find(h), std::string::npos)
          << h << " in " << said.substr(0, 300);
    for (const std::string &h : t.lacks)
      EXPECT_EQ(said.find(h), std::string::npos) << h;
  }
  // As a PNG: 1000 by 960 pixels, by its IHDR chunk.
  ASSERT_EQ(run(QEV_SCRIPTS "/qev-trend", {"eurostat-fits.tsv", "-o", "t.png"})
                .status,
            0);
  const std::string png = slurp(dir + "/t.png");
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(12, 12),
            std::string("IHDR\0\0\x03\xe8\0\0\x03\xc0", 12));
}

}  // namespace

// The packages' wording of a group's checks: the rows the grouped fit kept
// (not the age above 104 or the missing value), with the values it fitted
// (divided by the radix), each named by the place it came from.
TEST(Long, GroupWarningsNameTheKeptRows) {
  const long group[] = {0, 0, 0, 0, 0};
  const int age[] = {0, 110, 20, 30, 40};
  const int kind[] = {QEV_AGE_SINGLE, QEV_AGE_OPEN, QEV_AGE_SINGLE,
                      QEV_AGE_SINGLE, QEV_AGE_SINGLE};
  const double value[] = {50000, 10, 49000, 0, 49500};
  const unsigned char missing[] = {0, 0, 0, 1, 0};
  const int row[] = {11, 12, 13, 14, 15};
  const words::voice packages = {"row", "radix", "by", false};
  const qev_rows rows = {5, group, age, kind, value, missing};
  qev_result r;
  unsigned char kept[5];
  double fitted[5];
  ASSERT_EQ(qev_fit_groups_rows(&rows, 1, 100000, nullptr, 1, &r, nullptr, kept,
                                fitted),
            QEV_OK);
  EXPECT_EQ(words::check_list(r), "rises,few-records,l0");
  EXPECT_EQ(std::vector<int>(kept, kept + 5),
            std::vector<int>({1, 0, 1, 0, 1}));
  EXPECT_EQ(fitted[2], 0.49);
  EXPECT_TRUE(std::isnan(fitted[1]) && std::isnan(fitted[3]));
  EXPECT_EQ(words::group_messages(r, rows, kept, fitted, row, "1e5", packages),
            std::vector<std::string>(
                {"row 11: the value at age 0 is 0.5, not 1, with radix=1e5: "
                 "is that the table's radix?",
                 "row 15: the value rises from age 20 to age 40: shares still "
                 "alive never rise with age (is this q(x) or m(x)?)",
                 "3 records, fewer than 4: the curve's three parameters fit so "
                 "few records without meaning anything"}));
  // Without kinds, flags or a radix, every row is a record as it stands
  // (the value 0 at age 30 included: nothing says it is missing).
  const qev_rows plain = {3, group, age + 2, nullptr, value + 2, nullptr};
  ASSERT_EQ(
      qev_fit_groups_rows(&plain, 1, 0, nullptr, 1, &r, nullptr, kept, fitted),
      QEV_OK);
  EXPECT_EQ(words::group_messages(r, plain, kept, fitted, row + 2, nullptr,
                                  cli_voice),
            std::vector<std::string>(
                {"line 13: warning: value 49000 is not a share still alive "
                 "between 0 and 1: give --radix=100000 (or l(x)'s radix)",
                 "line 15: warning: the value rises from age 30 to age 40: "
                 "shares still alive never rise with age (is this q(x) or "
                 "m(x)?)",
                 "warning: 3 records, fewer than 4: the curve's three "
                 "parameters fit so few records without meaning anything"}));
}

namespace {

// A row of tests/edges.tsv: an edge input and what every client must give.
struct edge {
  std::string name, path;
  std::vector<std::string> ages, values, options;
  std::string outcome, e0_fit, e0_table, checks, message;
};

std::vector<std::string> split_at(const std::string &s, char sep) {
  std::vector<std::string> parts;
  std::istringstream in(s);
  for (std::string p; std::getline(in, p, sep);) parts.push_back(p);
  return parts;
}

// "a..b" is every whole number from a to b, "x*n" is x n times.
std::vector<std::string> expand_list(const std::string &s) {
  std::vector<std::string> out;
  for (const std::string &item : split_at(s, ',')) {
    const size_t dots = item.find(".."), star = item.find('*');
    if (dots != std::string::npos) {
      const int to = std::stoi(item.substr(dots + 2));
      for (int x = std::stoi(item.substr(0, dots)); x <= to; ++x)
        out.push_back(std::to_string(x));
    } else if (star != std::string::npos) {
      out.insert(out.end(), std::stoul(item.substr(star + 1)),
                 item.substr(0, star));
    } else {
      out.push_back(item);
    }
  }
  return out;
}

std::vector<edge> read_edges() {
  std::ifstream in(ex + "/../tests/edges.tsv");
  std::vector<edge> rows;
  bool header = true;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (header) {
      header = false;
      continue;
    }
    const std::vector<std::string> f = fields_of(line);
    if (f.size() != 10) continue;  // the test below then fails on the count
    rows.push_back(
        {f[0], f[1], expand_list(f[2]), expand_list(f[3]),
         f[4] == "-" ? std::vector<std::string>{} : split_at(f[4], ' '), f[5],
         f[6], f[7], f[8] == "-" ? "" : f[8], f[9]});
  }
  return rows;
}

}  // namespace

// The command line's answers to the edge table that the R and Python tests
// hold their packages to as well.
TEST(Edges, TheCommandLineGivesWhatEveryClientMust) {
  const std::vector<edge> rows = read_edges();
  ASSERT_GE(rows.size(), 15u);
  for (const edge &t : rows) {
    SCOPED_TRACE(t.name);
    ASSERT_EQ(t.ages.size(), t.values.size());
    const bool long_table = t.path == "long";
    const std::string file =
        scratch() + (long_table ? "/edge.csv" : "/edge.dat");
    {
      std::ofstream out(file, std::ios::binary);
      if (long_table) out << "age,value\n";
      for (size_t i = 0; i < t.ages.size(); ++i)
        out << t.ages[i] << (long_table ? "," : " ") << t.values[i] << "\n";
    }
    std::vector<std::string> args = {"--tsv"};
    for (const std::string &o : t.options) args.push_back("--" + o);
    if (long_table) {
      args.push_back("--age=age");
      args.push_back("--value=value");
    }
    args.push_back(file);
    const run_result r = run_qev(args);
    const std::vector<std::string> lines = split_at(r.out, '\n');
    if (t.outcome == "error") {
      // No row, or a data file's refused row among the files of --tsv.
      EXPECT_EQ(r.status, 2);
      EXPECT_TRUE(lines.size() <= 1 || fields_of(lines[1])[6] == "refused")
          << r.out;
    } else {
      EXPECT_EQ(r.status, t.outcome == "refused" ? 2 : 1);
      ASSERT_EQ(lines.size(), 2u) << r.out;
      const std::vector<std::string> f = fields_of(lines[1]);
      ASSERT_EQ(f.size(), 15u);
      EXPECT_EQ(f[6], t.outcome);
      EXPECT_EQ(f[14], t.checks);
      const std::string e0[] = {t.e0_fit, t.e0_table};
      for (int k = 0; k < 2; ++k) {
        if (e0[k] == "NaN") {
          EXPECT_EQ(f[8 + k], "NaN");
        } else if (e0[k] == "number") {
          EXPECT_TRUE(std::isfinite(std::stod(f[8 + k]))) << f[8 + k];
        }
      }
    }
    if (t.message == "none") {
      EXPECT_EQ(r.err, "");
    } else {
      for (const std::string &part : split_at(t.message, '|'))
        EXPECT_NE(r.err.find(part), std::string::npos) << part << "\n" << r.err;
    }
  }
}

// A long table words the checks of its first 20 groups, every line of a
// group together, and counts the others; its summary line stays.
TEST(Long, WordsTheChecksOfTwentyGroupsAndCountsTheRest) {
  std::string csv = "k,age,v\n";
  for (int g = 0; g < 25; ++g)
    for (int x : {0, 1, 2, 3, 110})
      csv += std::to_string(g) + "," + std::to_string(x) + "," +
             (x == 2   ? "NA"
              : x == 0 ? "100000"
                       : "99000") +
             "\n";
  std::ofstream(scratch() + "/many.csv") << csv;
  for (const char *sorted : {"--tsv", "--sorted"}) {
    SCOPED_TRACE(sorted);
    std::vector<std::string> args = {"--tsv", "--age=age", "--value=v",
                                     "--by=k", "many.csv"};
    if (std::string(sorted) == "--sorted") args.insert(args.begin(), sorted);
    const run_result r = run_qev(args);
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> lines = split_at(r.err, '\n');
    // Each group: its left-out line, then value, l0 and few-records.
    ASSERT_EQ(lines.size(), 20u * 4 + 2) << r.err;
    for (int g = 0; g < 20; ++g) {
      const std::string where = "qev: many.csv: k=" + std::to_string(g) + ": ";
      EXPECT_EQ(lines[4 * g].rfind(where + "left out 1 row", 0), 0u);
      EXPECT_EQ(lines[4 * g + 3].rfind(where + "warning: 3 records", 0), 0u);
    }
    EXPECT_EQ(lines[80],
              "qev: many.csv: and 5 more groups with data checks: the checks "
              "column names them");
    EXPECT_EQ(lines[81],
              "qev: many.csv: dropped 25 rows of ages above 104 in 25 groups, "
              "25 rows with no value (NA, NaN, \".\" or empty) in 25 groups");
    EXPECT_EQ(split_at(r.out, '\n').size(), 26u);  // every group has its row
  }
}

// An option after the file names is taken for a file; the message says
// where options go.
TEST(Cli, AnOptionAfterTheFileNamesIsPointedOut) {
  std::ofstream(scratch() + "/six.dat") << six;
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"--tsv", "six.dat", "--age=Age"},
        std::vector<std::string>{"--tsv", "--age=a", "--value=v", "--",
                                 "--by=x"}}) {
    const run_result r = run_qev(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "qev: " + args.back() +
                         ": No such file or directory (options go before "
                         "the file names)\n");
  }
  // A missing file of any other name gets no hint.
  EXPECT_EQ(run_qev({"--tsv", "missing.dat"}).err,
            "qev: missing.dat: No such file or directory\n");
}

// A decimal comma, with semicolons or tabs between the fields, reads as the
// point it stands for: the same bytes as the file written with points.
TEST(Long, DecimalCommasGiveThePointsBits) {
  const std::string ex_table = slurp(ex + "/us-2011-male.dat");
  std::string points = "k;age;lx\n", commas = points;
  std::istringstream in(ex_table);
  int rows = 0;
  for (std::string age, value; in >> age >> value; ++rows) {
    points += "m;" + age + ";" + value + "\n";
    commas += "m;" + age + ";" + replace_all(value, ".", ",") + "\n";
  }
  ASSERT_GT(rows, 100);
  std::ofstream(scratch() + "/points.csv") << points;
  std::ofstream(scratch() + "/commas.csv") << commas;
  std::ofstream(scratch() + "/commas.tsv") << replace_all(commas, ";", "\t");
  const std::vector<std::string> opts = {"--tsv", "--age=age", "--value=lx",
                                         "--by=k"};
  auto fit = [&](const std::string &file, bool decimal) {
    std::vector<std::string> args = opts;
    if (decimal) args.push_back("--decimal=,");
    args.push_back(file);
    const run_result r = run_qev(args);
    EXPECT_EQ(r.status, 1) << r.err;
    return replace_all(r.out, file, "FILE");
  };
  const std::string want = fit("points.csv", false);
  EXPECT_NE(want.find("converged"), std::string::npos);
  EXPECT_EQ(fit("commas.csv", true), want);
  EXPECT_EQ(fit("commas.tsv", true), want);
  // Without the option the decimal comma is refused, with a hint.
  EXPECT_NE(run_qev({"--tsv", "--age=age", "--value=lx", "commas.csv"})
                .err.find("a decimal comma? qev reads a decimal point only"),
            std::string::npos);
}

// Gzip-compressed input reads as the bytes it holds in every mode, from a
// file or standard input; a cut stream, or a .gz file that is not gzip, is
// refused with no rows.
TEST(Input, GzipFilesReadAsTheBytesTheyHold) {
  const std::string dir = scratch() + "/";
  const std::string table = slurp(ex + "/us-2011-male.dat");
  std::string csv = "k,age,v\n";
  std::istringstream in(table);
  for (std::string a, v; in >> a >> v;) csv += "m," + a + "," + v + "\n";
  std::ofstream(dir + "t.dat") << table;
  std::ofstream(dir + "t.csv") << csv;
  for (const char *f : {"t.dat", "t.csv"})
    ASSERT_EQ(run("/bin/gzip", {"-k", "-f", f}).status, 0);
  const std::string gz = slurp(dir + "t.csv.gz");
  std::ofstream(dir + "cut.csv.gz") << gz.substr(0, gz.size() / 2);
  const std::string dat_gz = slurp(dir + "t.dat.gz");
  std::ofstream(dir + "cut.dat.gz") << dat_gz.substr(0, dat_gz.size() / 2);
  std::ofstream(dir + "plain.gz") << csv;
  const std::vector<std::string> long_opts = {"--tsv", "--age=age", "--value=v",
                                              "--by=k"};
  auto with = [&](std::vector<std::string> args, const std::string &file) {
    args.push_back(file);
    return args;
  };
#ifdef QEV_ZLIB
  struct same_case {
    std::vector<std::string> args;
    std::string plain, packed;
  };
  const same_case same[] = {
      {{}, "t.dat", "t.dat.gz"},
      {{"--tsv"}, "t.dat", "t.dat.gz"},
      {{"--fitted"}, "t.dat", "t.dat.gz"},
      {long_opts, "t.csv", "t.csv.gz"},
      {with(long_opts, "--sorted"), "t.csv", "t.csv.gz"},
  };
  for (const same_case &t : same) {
    SCOPED_TRACE(t.packed);
    const run_result want = run_qev(with(t.args, t.plain));
    const run_result got = run_qev(with(t.args, t.packed));
    EXPECT_EQ(want.status, 1);
    EXPECT_EQ(got.status, want.status);
    EXPECT_EQ(replace_all(got.out, t.packed, t.plain), want.out);
    EXPECT_EQ(replace_all(got.err, t.packed, t.plain), want.err);
  }
  // Standard input, found by its magic bytes.
  const run_result piped = run_qev(with(long_opts, "-"), "", dir + "t.csv.gz");
  EXPECT_EQ(replace_all(piped.out, "-\tm", "t.csv\tm"),
            run_qev(with(long_opts, "t.csv")).out);
  const run_result cut = run_qev(with(long_opts, "cut.csv.gz"));
  EXPECT_EQ(cut.status, 2);
  EXPECT_EQ(cut.out, "file\tk\t" + tsv_header.substr(5));
  EXPECT_EQ(cut.err, "qev: cut.csv.gz: the gzip stream is corrupt or cut\n");
  const run_result cut_dat = run_qev({"cut.dat.gz"});
  EXPECT_EQ(cut_dat.status, 2);
  EXPECT_EQ(cut_dat.out, "");
  EXPECT_EQ(cut_dat.err,
            "qev: cut.dat.gz: the gzip stream is corrupt or cut\n");
#else
  EXPECT_EQ(run_qev({"t.dat.gz"}).err,
            "qev: t.dat.gz: a gzip file, and this qev was built without zlib "
            "(zlib1g-dev)\n");
#endif
  const run_result not_gz = run_qev(with(long_opts, "plain.gz"));
  EXPECT_EQ(not_gz.status, 2);
  EXPECT_EQ(not_gz.err,
            "qev: plain.gz: not a gzip file, though its name ends in .gz\n");
}

// The UN's World Population Prospects layout, as it is published, gzipped
// with a span of -1 on the open age group: --age=AgeGrpStart fits it as
// the long CSV of the same records.
TEST(Input, WppLayoutFitsAsTheSameRecords) {
  const std::string dir = scratch() + "/";
  const std::string table = slurp(ex + "/us-2011-male.dat");
  std::map<int, std::string> lx;
  std::istringstream in(table);
  for (std::string a, v; in >> a >> v;) lx[std::stoi(a)] = v;
  std::string wpp =
      "SortOrder,LocID,Location,Time,Sex,AgeGrp,AgeGrpStart,AgeGrpSpan,mx,qx,"
      "lx\n";
  std::string plain = "Location,Sex,Time,age,lx\n";
  const int starts[] = {0, 1, 5, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
  for (int k = 0; k < 13; ++k) {
    const int x = starts[k];
    const int span = k == 12 ? -1 : (k < 12 ? starts[k + 1] - x : 0);
    const std::string label =
        span == -1 ? std::to_string(x) + "+" : std::to_string(x);
    wpp += "1,840,United States of America,2011,Male," + label + "," +
           std::to_string(x) + "," + std::to_string(span) + ",0.01,0.01," +
           lx[x] + "\n";
    plain += "United States of America,Male,2011," + std::to_string(x) + "," +
             lx[x] + "\n";
  }
  std::ofstream(dir + "wpp.csv") << wpp;
  std::ofstream(dir + "plain.csv") << plain;
  ASSERT_EQ(run("/bin/gzip", {"-f", "wpp.csv"}).status, 0);
  const run_result want = run_qev({"--tsv", "--age=age", "--value=lx",
                                   "--by=Location,Sex,Time", "plain.csv"});
  EXPECT_EQ(want.status, 1) << want.err;
  EXPECT_NE(want.out.find("\tconverged\t13\t"), std::string::npos) << want.out;
#ifdef QEV_ZLIB
  const run_result got = run_qev({"--tsv", "--age=AgeGrpStart", "--value=lx",
                                  "--by=Location,Sex,Time", "wpp.csv.gz"});
  EXPECT_EQ(replace_all(got.out, "wpp.csv.gz", "plain.csv"), want.out);
  EXPECT_EQ(replace_all(got.err, "wpp.csv.gz", "plain.csv"), want.err);
#endif
}

// The tables' numbers are printf's %.17g, byte for byte: every number the
// fits of the HMD file print, and doubles of every exponent.
TEST(Table, NumbersArePrintfsSeventeenDigits) {
  std::vector<double> xs = {0.0,
                            -0.0,
                            5e-324,
                            2.2250738585072014e-308,
                            1.7976931348623157e308,
                            0.1,
                            1e16,
                            123456789012345678.0,
                            1e-5,
                            -1e21,
                            0.5};
  const run_result fits =
      run_qev({"--tsv", "--age=Age", "--value=lx", "--by=Year",
               "--radix=100000", ex + "/hmd/USA.fltper_1x1.txt"});
  std::istringstream rows(fits.out);
  std::string row;
  std::getline(rows, row);
  std::vector<std::string> printed;
  while (std::getline(rows, row))
    for (const std::string &f : fields_of(row))
      if (f.find_first_of(".e") != std::string::npos &&
          f.find_first_of("0123456789") == 0)
        printed.push_back(f);
  ASSERT_GT(printed.size(), 800u);
  for (const std::string &f : printed) {
    xs.push_back(std::strtod(f.c_str(), nullptr));
    std::string got;
    add_number(&got, xs.back());
    EXPECT_EQ(got, f);
  }
  std::mt19937_64 bits(20261210);
  for (int k = 0; k < 200000; ++k) {
    const std::uint64_t b = bits();
    double x;
    std::memcpy(&x, &b, sizeof x);
    if (std::isfinite(x)) xs.push_back(x);
  }
  for (const double x : xs) {
    char want[40];
    std::snprintf(want, sizeof want, "%.17g", x);
    std::string got;
    add_number(&got, x);
    ASSERT_EQ(got, want);
  }
}

// Eurostat's wide layout, both spellings of its time dimension and
// compressed, fits as the long table of the same records in age order:
// the same rows, and the same messages bar their line numbers.
TEST(Input, EurostatLayoutFitsAsTheLongTableInAgeOrder) {
  const std::string dir = scratch() + "/";
  const std::string wide = slurp(QEV_TESTS "/eurostat.tsv");
  ASSERT_GT(wide.size(), 10000u);
  std::ofstream(dir + "e.tsv") << wide;
  std::ofstream(dir + "time.tsv")
      << replace_all(wide, "geo\\TIME_PERIOD", "geo/time");
  std::ofstream(dir + "long.csv") << slurp(QEV_TESTS "/eurostat-long.csv");
  std::ofstream(dir + "time.csv") << replace_all(
      slurp(QEV_TESTS "/eurostat-long.csv"), ",TIME_PERIOD,", ",time,");
  ASSERT_EQ(run("/bin/gzip", {"-k", "-f", "e.tsv"}).status, 0);
  auto no_lines = [](const std::string &err, const std::string &file) {
    std::string r;
    std::istringstream in(replace_all(err, file, "FILE"));
    for (std::string l; std::getline(in, l);) {
      const std::size_t at = l.find(": line ");
      if (at != std::string::npos) l.erase(at, l.find(':', at + 2) - at);
      r += l + "\n";
    }
    return r;
  };
  struct wide_case {
    std::string wide, plain, time, mode, where;
  };
  std::vector<wide_case> cases;
  for (const char *mode : {"--tsv", "--fitted"})
    for (const char *where : {"SURVIVORS", "PROBDEATH"})
      cases.push_back({"e.tsv", "long.csv", "TIME_PERIOD", mode, where});
  cases.push_back({"time.tsv", "time.csv", "time", "--tsv", "SURVIVORS"});
#ifdef QEV_ZLIB
  cases.push_back(
      {"e.tsv.gz", "long.csv", "TIME_PERIOD", "--tsv", "PROBDEATH"});
#endif
  for (const wide_case &t : cases) {
    SCOPED_TRACE(t.wide + " " + t.mode + " " + t.where);
    std::vector<std::string> args = {t.mode, "--age=age", "--value=value",
                                     "--by=sex,geo," + t.time,
                                     "--where=indic_de=" + t.where};
    if (t.where == "SURVIVORS") args.push_back("--radix=100000");
    std::vector<std::string> plain = args;
    plain.push_back("--na=:");
    args.push_back(t.wide);
    plain.push_back(t.plain);
    const run_result got = run_qev(args), want = run_qev(plain);
    EXPECT_EQ(got.status, 1) << got.err;
    EXPECT_EQ(replace_all(got.out, t.wide, "FILE"),
              replace_all(want.out, t.plain, "FILE"));
    EXPECT_EQ(no_lines(got.err, t.wide), no_lines(want.err, t.plain));
    // The open age group Y_GE100 is kept, Y_OPEN and TOTAL are counted.
    EXPECT_NE(got.out.find(t.mode == "--tsv" ? "\tconverged\t101\t"
                                             : "\tUS\t2011\t100\t"),
              std::string::npos);
    EXPECT_NE(got.err.find("8 rows of no age (Y_OPEN, TOTAL) in 4 groups"),
              std::string::npos);
  }
}

// Eurostat files that are not well formed are refused, naming the line and
// what is wrong; a bad row --where skips is no fault.
TEST(Input, EurostatFilesThatAreNotWellFormedAreRefused) {
  const std::string head = "unit,sex,age\\TIME_PERIOD\t2019 \t2018\n";
  struct bad_case {
    std::string file, option, err;
    int status;
  };
  const bad_case cases[] = {
      {head + "NR,F,Y1\t0.99\t0.98\t0.97\n", "",
       "line 2: 4 fields, where the header has 3", 2},
      {head + "NR,F\t0.99\t0.98\n", "",
       "line 2: 2 dimension codes, where the header has 3", 2},
      {head + "NR,F,Y_UNK\t0.99\t0.98\n", "",
       "line 2: \"Y_UNK\" is not an age: Eurostat's age codes are Y_LT1, YN, "
       "YN-M, Y_GEN, Y_OPEN and TOTAL",
       2},
      {head + "NR,F,Y_UNK\t0.99\t0.98\n", "--where=unit=PC", "skipped 2 rows",
       1},
      {"flag,age\\time\t2019\nF,Y1\t0.99\n", "",
       "line 1: the dimension \"flag\" has the name of a column made of "
       "Eurostat's cells (value and flag)",
       2},
      {head + "NR,F,Y1\t0.99\t0.98\n", "--sorted",
       "line 1: --sorted cannot read Eurostat's layout", 2},
      {head + "NR,F,Y1\t0.99\t0.98\n", "--where=indic_de=SURVIVORS",
       "line 1: no column \"indic_de\" in Eurostat's layout, whose columns are "
       "unit, sex, age, TIME_PERIOD, value, flag",
       2},
      // An age twice, as Y85 and Y_GE85: that group is refused.
      {head + "NR,F,Y1\t0.99\t:\nNR,F,Y85\t0.5\t:\nNR,F,Y2\t0.98\t:\n"
              "NR,F,Y3\t0.97\t:\nNR,F,Y_GE85\t0.5 p\t:\n",
       "", "sex=F, TIME_PERIOD=2019: line 6: age 85 again, first on line 3", 2},
  };
  for (const bad_case &t : cases) {
    SCOPED_TRACE(t.file);
    std::ofstream(scratch() + "/bad.tsv") << t.file;
    std::vector<std::string> args = {"--tsv", "--age=age", "--value=value",
                                     "--by=sex,TIME_PERIOD"};
    if (!t.option.empty()) args.push_back(t.option);
    args.push_back("bad.tsv");
    const run_result r = run_qev(args);
    EXPECT_EQ(r.status, t.status) << r.err;
    EXPECT_NE(r.err.find(t.err), std::string::npos) << r.err;
  }
}

// One group of a long table, picked with --where, drawn as a data file of
// its records is; several groups are refused with a word of how to pick.
TEST(Plot, DrawsOneGroupOfALongTable) {
  if (!have_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  setenv("QEV", QEV_BINARY, 1);
  const std::string dir = scratch();
  const std::string hmd = ex + "/hmd/USA.fltper_1x1.txt";
  const std::vector<std::string> long_opts = {"--age=Age", "--value=lx",
                                              "--by=Year", "--radix=100000"};
  std::vector<std::string> one = long_opts;
  one.insert(one.end(), {"--where=Year=2000", hmd, "-o", dir + "/y.png"});
  const run_result r = run(QEV_SCRIPTS "/qev-plot", one);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir + "/y.png\n");
  const std::string picture = slurp(dir + "/y.png");
  EXPECT_EQ(picture.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_GT(picture.size(), 10000u);
  std::vector<std::string> all = long_opts;
  all.insert(all.end(), {hmd, "-o", dir + "/all.png"});
  const run_result many = run(QEV_SCRIPTS "/qev-plot", all);
  EXPECT_EQ(many.status, 2);
  EXPECT_NE(many.err.find("89 groups; pick the one to draw with "
                          "--where=COL=VALUE"),
            std::string::npos)
      << many.err;
}
