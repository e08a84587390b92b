# The standard errors of qev --tsv against R's nls(), started at qev's fit
# and not moved from it (maxiter = 0), on the shipped examples and the 89
# years of the shipped HMD file.  nls() differentiates numerically, so the
# two agree to 1e-4 relative, not to the last digit.
#   Rscript tests/nls.R QEV EXAMPLES
args <- commandArgs(trailingOnly = TRUE)
qev <- args[1]
examples <- args[2]
tolerance <- 1e-4

curve <- function(x, a, b, c) {
  u <- x / (105 - x)
  1 / (a * u^3 + b * (exp(u) - 1)^0.5 + c * (1 - exp(-2 * x)) + 1)
}

fits_of <- function(cmd_args) {
  out <- suppressWarnings(system2(qev, c("--tsv", cmd_args), stdout = TRUE,
                                  stderr = FALSE))  # status 1: fitted
  read.delim(text = out, colClasses = c("character", rep(NA, 14)),
             na.strings = c("NaN", ""))
}

worst <- 0
checked <- 0
check <- function(name, x, y, fit) {
  # maxiter = 0 warns that it stopped at once, which is the point.
  m <- suppressWarnings(nls(y ~ curve(x, a, b, c),
                            data = data.frame(x = x, y = y),
                            start = list(a = fit$a, b = fit$b, c = fit$c),
                            control = nls.control(maxiter = 0,
                                                  warnOnly = TRUE)))
  se <- summary(m)$coefficients[, "Std. Error"]
  rel <- max(abs(se - c(fit$se_a, fit$se_b, fit$se_c)) / se)
  if (!is.finite(rel) || rel > tolerance)
    stop(sprintf("%s: qev %s, nls %s", name,
                 paste(c(fit$se_a, fit$se_b, fit$se_c), collapse = " "),
                 paste(se, collapse = " ")))
  worst <<- max(worst, rel)
  checked <<- checked + 1
}

files <- file.path(examples, c("us-2011-male.dat", "us-2011-female.dat",
                               "us-1940-male.dat", "finland-2013-female.dat"))
fits <- fits_of(files)
for (k in seq_along(files)) {
  d <- read.table(files[k], col.names = c("x", "y"))
  check(files[k], d$x, d$y, fits[k, ])
}

hmd <- file.path(examples, "hmd", "USA.fltper_1x1.txt")
h <- read.table(hmd, skip = 2, header = TRUE, colClasses = "character")
h <- h[h$Age != "110+" & as.numeric(sub("\\+", "", h$Age)) <= 104, ]
years <- fits_of(c("--age=Age", "--value=lx", "--by=Year", "--radix=100000",
                   hmd))
for (k in seq_len(nrow(years))) {
  rows <- h[h$Year == years$Year[k], ]
  check(years$Year[k], as.numeric(rows$Age), as.numeric(rows$lx) / 100000,
        years[k, c("a", "b", "c", "se_a", "se_b", "se_c")])
}
if (checked != 4 + 89) stop(sprintf("%d tables checked, not 93", checked))
cat(sprintf("nls: %d tables, largest relative difference %.2e\n", checked, worst))
cat(sprintf("%d passed, 0 failed\n", checked))
