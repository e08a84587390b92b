# The R package against the command line, side by side in interleaved
# rounds, on bench/make-long.py's 10000 tables:
#   (a) qev --tsv long mode on the CSV, --jobs=1
#   (b) qev_fit_table on the same table already in a data.frame, jobs = 1
#   (c) (b) with jobs = 2
#   (d) a loop of qev_fit over the same tables, already split
# After a Release build and R CMD INSTALL of the package (r/build.sh):
#   Rscript bench/r.R [ROUNDS]
suppressMessages(library(qev))
args <- commandArgs(TRUE)
rounds <- if (length(args)) as.integer(args[1]) else 5
root <- normalizePath(file.path(dirname(sub("--file=", "", grep("--file=",
  commandArgs(FALSE), value = TRUE))), ".."))
bin <- Sys.getenv("QEV", file.path(root, "build", "release", "qev"))
cat(system("lscpu | sed -n 's/^Model name: *//p;s/^CPU family: */family /p;s/^Model: */model /p' | paste -sd ' '",
           intern = TRUE), "\n")
csv <- tempfile(fileext = ".csv")
system2("python3", c(file.path(root, "bench", "make-long.py"),
                     file.path(root, "examples", "hmd", "USA.fltper_1x1.txt"),
                     csv))
df <- read.csv(csv, stringsAsFactors = FALSE)
key <- paste(df$region, df$year)
tables <- split(data.frame(age = df$age, v = df$lx / 1e5),
                factor(key, levels = unique(key)))
cat(length(tables), "tables,", nrow(df), "rows\n")
runs <- list(
  "(a) qev --tsv long mode, --jobs=1" = function()
    system2(bin, c("--tsv", "--age=age", "--value=lx", "--by=region,year",
                   "--radix=100000", "--jobs=1", csv), stdout = FALSE,
            stderr = FALSE),
  "(b) qev_fit_table, jobs = 1" = function()
    suppressWarnings(qev_fit_table(df, "age", "lx", c("region", "year"),
                                   radix = 1e5, jobs = 1)),
  "(c) qev_fit_table, jobs = 2" = function()
    suppressWarnings(qev_fit_table(df, "age", "lx", c("region", "year"),
                                   radix = 1e5, jobs = 2)),
  "(d) a loop of qev_fit" = function()
    for (t in tables) qev_fit(t$age, t$v))
times <- matrix(NA_real_, rounds, length(runs))
for (r in 0:rounds)
  for (k in seq_along(runs)) {
    t <- system.time(runs[[k]]())[["elapsed"]]
    if (r > 0) times[r, k] <- t
  }
for (k in seq_along(runs))
  cat(sprintf("%-36s median %7.1f ms  (%.1f to %.1f)\n", names(runs)[k],
              1000 * median(times[, k]), 1000 * min(times[, k]),
              1000 * max(times[, k])))
ratio <- function(i, j) median(times[, i] / times[, j])
cat(sprintf("(b)/(a) %.2f   (c)/(b) %.2f   (d)/(b) %.2f\n", ratio(2, 1),
            ratio(3, 2), ratio(4, 2)))
