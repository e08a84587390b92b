# The package against rows the command line wrote (make-rows.sh writes them
# again), compared as the command line's own %.17g text, so that R's number
# reader plays no part.

ext <- function(f) system.file("extdata", f, package = "qev")
cli <- function(f) read.delim(test_path(f), colClasses = "character",
                              na.strings = character(0))
numbers <- c("a", "b", "c", "rmse", "e0_fit", "e0_table", "se_a", "se_b",
             "se_c", "se_e0_fit")
text <- function(x) ifelse(is.na(x) & !is.nan(x), "", sprintf("%.17g", x))

expect_rows <- function(got, want) {
  expect_equal(nrow(got), nrow(want))
  expect_gt(nrow(got), 0)
  for (k in numbers) expect_identical(text(got[[k]]), want[[k]], label = k)
  for (k in c("iterations", "records", "status", "checks"))
    expect_identical(as.character(got[[k]]), want[[k]], label = k)
}

test_that("qev_fit gives the command line's bits on the shipped tables", {
  want <- cli("examples.tsv")
  for (i in seq_len(nrow(want))) {
    d <- qev_read_table(ext(want$file[i]))
    f <- qev_fit(d$age, d$value)
    expect_rows(as.data.frame(f), want[i, ])
  }
  # Pinned: a of the 2011 US male table.
  d <- qev_read_table(ext("us-2011-male.dat"))
  expect_identical(sprintf("%a", qev_fit(d$age, d$value)$a),
                   "0x1.14ae0930d5574p-6")
})

test_that("qev_fit_table gives qev-hmd's rows on the shipped HMD file", {
  want <- cli("hmd.tsv")
  d <- read_hmd(ext("USA.fltper_1x1.txt"))
  expect_type(d$Year, "integer")
  expect_type(d$Age, "character")
  expect_warning(got <- qev_fit_table(d, "Age", "lx", by = "Year",
                                      radix = 1e5, jobs = 2),
                 "dropped 534 rows of ages above 104 in 89 groups",
                 class = "qev_data_warning")
  expect_identical(as.character(got$Year), want$year)
  expect_rows(got, want)
  expect_type(got$Year, "integer")
  rows <- qev_fitted_table(d[d$Year == 1933, ], "Age", "lx", by = "Year",
                           radix = 1e5)
  expect_equal(nrow(rows), 105)
  expect_identical(rows$residual, rows$observed - rows$fitted)
  expect_identical(text(rows$fitted[1]), "1")
})

test_that("the methods answer as a fitted model's do", {
  d <- qev_read_table(ext("us-2011-male.dat"))
  f <- qev_fit(d$age, d$value)
  expect_identical(coef(f), c(a = f$a, b = f$b, c = f$c))
  expect_equal(nobs(f), 101)
  expect_identical(residuals(f), d$value - fitted(f))
  v <- vcov(f)
  expect_identical(sqrt(diag(v))[["b"]], f$se_b)
  expect_identical(v["a", "c"], f$cov_ac)
  ci <- confint(f)
  expect_true(all(ci[, 1] < coef(f) & coef(f) < ci[, 2]))
  expect_identical(dimnames(confint(f, "b", 0.9))[[2]], c("5 %", "95 %"))
  p <- predict(f, data.frame(age = c(0, 50.5, 105, 106, -1)))
  expect_identical(p[1], 1)
  expect_true(p[2] > 0 && p[2] < 1 && p[3] == 0)
  expect_true(all(is.nan(p[4:5])))
  expect_identical(predict(f, 40), fitted(f)[41])
  expect_output(print(f), "converged after 229 iterations")
  expect_output(print(summary(f)), "Std. Error")
  expect_named(as.data.frame(f), c("a", "b", "c", "rmse", "iterations",
                                   "status", "records", "e0_fit", "e0_table",
                                   "se_a", "se_b", "se_c", "se_e0_fit",
                                   "checks"))
  grDevices::pdf(NULL)
  expect_identical(plot(f), f)
  grDevices::dev.off()
})

one <- data.frame(k = c("a", "a", "a"), age = c(0, 1, 2), v = c(1, 0.9, 0.8),
                  stringsAsFactors = FALSE)
bad <- list(
  list(quote(qev_fit(c(0, 1), 1)), "error", "age has 2 records and value 1"),
  list(quote(qev_fit(0:200, rep(0.5, 201))), "error", "201 records"),
  list(quote(qev_fit(c(0, NA), c(1, 1))), "error", "record 2: age NA"),
  list(quote(qev_fit(c(0, 1.5), c(1, 1))), "error", "record 2: age 1.5"),
  list(quote(qev_fit(c(0, 1), c("1", "0.5"))), "error", "not character"),
  list(quote(qev_fit(c(0, 1), factor(c(1, 0.5)))), "error", "not factor"),
  list(quote(qev_fit(NULL, NULL)), "error", "needs ages and values"),
  list(quote(qev_fit(0, 1, start = 1:2)), "error", "three numbers"),
  list(quote(qev_fit(c(0, 20), c(1, 0.5))), "warning",
       "2 records, fewer than 4"),
  list(quote(qev_fit(c(0, 20, 40, 60), c(0.5, 0.4, 0.3, 0.2))), "warning",
       "record 1: the value at age 0 is 0.5, not 1"),
  list(quote(qev_fit_table(NULL, "age", "v")), "error", "a data frame"),
  list(quote(qev_fit_table(one, "age", "w")), "error", "no column \"w\""),
  list(quote(qev_fit_table(transform(one, a = 1), "age", "v", by = "a")),
       "error", "name of a result column"),
  list(quote(qev_fit_table(transform(one, v = c("1", "x", "2")), "age", "v")),
       "error", "is character, not numbers"),
  list(quote(qev_fit_table(transform(one, v = factor(v)), "age", "v")),
       "error", "is factor, not numbers"),
  list(quote(qev_fit_table(transform(one, age = c(0, NA, 2)), "age", "v")),
       "error", "row 2: age NA"),
  list(quote(qev_fit_table(transform(one, age = c("0", "1-x", "2")), "age",
                           "v")), "error", "row 2: age \"1-x\" is not an age"),
  list(quote(qev_fit_table(one[0, ], "age", "v")), "warning", "no rows"),
  list(quote(qev_fit_table(one, "age", "v", radix = 0)), "error", "radix"),
  list(quote(qev_fit_table(transform(one, v = c(1, NA, 0.8)), "age", "v",
                           by = "k")), "warning",
       "k=a: left out 1 row with no value, from age 1"),
  list(quote(qev_fit_table(transform(one, k = c("a", NA, "a")), "age", "v",
                           by = "k")), "warning",
       "k=NA: 1 record, fewer than 4"),
  list(quote(qev_fit_table(one, "age", "v", radix = 10)), "warning",
       "with radix=10: is that the table's radix?"),
  list(quote(qev_fit_table(data.frame(k = 1:25, age = 0, v = 0.5), "age", "v",
                           by = "k")), "warning",
       "and 5 more groups with data checks")
)

test_that("bad input is an error or a warning that says why", {
  for (b in bad) {
    if (b[[2]] == "error") {
      expect_error(suppressWarnings(eval(b[[1]])), b[[3]], fixed = TRUE,
                   label = deparse(b[[1]]))
    } else {
      seen <- character(0)
      withCallingHandlers(eval(b[[1]]), qev_data_warning = function(w) {
        seen <<- c(seen, conditionMessage(w))
        invokeRestart("muffleWarning")
      })
      expect_true(any(grepl(b[[3]], seen, fixed = TRUE)),
                  label = paste(deparse(b[[1]]), collapse = ""))
    }
  }
  expect_gt(length(bad), 20)
})
