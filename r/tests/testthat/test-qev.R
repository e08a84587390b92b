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
  # Routine drops are messages, not warnings.
  expect_message(got <- qev_fit_table(d, "Age", "lx", by = "Year",
                                      radix = 1e5, jobs = 2),
                 "dropped 534 rows of ages above 104 in 89 groups")
  expect_identical(as.character(got$Year), want$year)
  expect_rows(got, want)
  expect_type(got$Year, "integer")
  rows <- qev_fitted_table(d[d$Year == 1933, ], "Age", "lx", by = "Year",
                           radix = 1e5)
  expect_equal(nrow(rows), 105)
  expect_identical(rows$residual, rows$observed - rows$fitted)
  expect_identical(text(rows$fitted[1]), "1")
})

test_that("read_eurostat gives the long table qev fits", {
  long <- read.csv(test_path("eurostat-long.csv"), colClasses = "character",
                   na.strings = character(0))
  long$TIME_PERIOD <- as.integer(long$TIME_PERIOD)
  value <- long$value
  long$value <- NULL
  lines <- readLines(test_path("eurostat.tsv"))
  packed <- tempfile(fileext = ".tsv.gz")
  con <- gzfile(packed, "w")
  writeLines(lines, con)
  close(con)
  slash <- tempfile(fileext = ".tsv")
  writeLines(sub("geo\\TIME_PERIOD", "geo/time", lines, fixed = TRUE), slash)
  for (f in list(c(test_path("eurostat.tsv"), "TIME_PERIOD"),
                 c(packed, "TIME_PERIOD"), c(slash, "time"))) {
    d <- read_eurostat(f[1])
    want <- long
    names(want)[names(want) == "TIME_PERIOD"] <- f[2]
    expect_identical(names(d), append(names(want), "value", after = 7))
    expect_identical(d[names(want)], want)
    expect_identical(is.na(d$value), value == ":")
    expect_equal(d$value[value != ":"], as.numeric(value[value != ":"]))
  }
  d <- read_eurostat(test_path("eurostat.tsv"))
  got <- suppressMessages(qev_fit_table(d[d$indic_de == "SURVIVORS", ],
                                        "age", "value",
                                        by = c("sex", "geo", "TIME_PERIOD"),
                                        radix = 1e5))
  expect_rows(got, cli("eurostat-fit.tsv"))
  bad <- list(c("a,age\\TIME_PERIOD\t2019\nX,Y1\t1\t2",
                "line 2: 3 fields, where the header has 2"),
              c("flag,age\\time\t2019\nX,Y1\t1", "line 1: the dimension \"flag\""),
              c("a,age\\TIME_PERIOD\t2019\nX,Y1\t0.9x p",
                "line 2: value \"0.9x\" is not a number"))
  for (b in bad) {
    f <- tempfile(fileext = ".tsv")
    writeLines(b[1], f)
    expect_error(read_eurostat(f), b[2], fixed = TRUE)
  }
})

test_that("the compiled grouping numbers groups as match() does", {
  e <- "\u00e9"
  frames <- list(
    data.frame(k = c("a", NA, "a", "b", NA, e), j = c(1, NaN, 1, NA, NaN, 0)),
    data.frame(k = factor(c("x", "y", "x", NA, "y", "x"),
                          levels = c("z", "y", "x")),
               j = c(TRUE, TRUE, TRUE, NA, TRUE, FALSE)),
    data.frame(k = c(0, -0, 1.5, NA, NaN, 1.5), j = c(1L, 1L, 2L, NA, NA, 2L)),
    # A latin1 text and its UTF-8 twin are one value to match().
    data.frame(k = c(iconv(e, "UTF-8", "latin1"), "a", enc2utf8(e), "b"),
               j = 1))
  for (d in frames) {
    d$age <- seq_len(nrow(d))
    d$v <- 1
    code <- rep.int(1, nrow(d))
    for (b in c("k", "j")) {
      k <- d[[b]]
      if (is.factor(k)) k <- as.character(k)
      u <- qev:::.codes(k)
      code <- qev:::.codes(code * (max(u, 0L) + 1) + u)
    }
    got <- suppressWarnings(suppressMessages(
      qev_fit_table(d, "age", "v", by = c("k", "j"))))
    expect_gt(max(code), 2)
    expect_identical(as.integer(got$records), tabulate(code))
  }
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
  list(quote(qev_fit(0:200, rep(0.5, 201))), "error",
       "more than 200 records: the table has 201"),
  list(quote(qev_fit(c(0, NA), c(1, 1))), "error", "record 2: age NA"),
  list(quote(qev_fit(c(0, 1.5), c(1, 1))), "error", "record 2: age 1.5"),
  list(quote(qev_fit(c(0, 1), c("1", "0.5"))), "error", "not character"),
  list(quote(qev_fit(c(0, 1), factor(c(1, 0.5)))), "error", "not factor"),
  list(quote(qev_fit(NULL, NULL)), "error", "needs ages and values"),
  list(quote(qev_fit(0, 1, start = 1:2)), "error",
       "start takes three finite numbers"),
  list(quote(qev_fit(0, 1, restarts = 2.5)), "error",
       "restarts takes a number, 0 to 1000"),
  list(quote(qev_fit(c(0, 20), c(1, 0.5))), "warning",
       "2 records, fewer than 4"),
  list(quote(qev_fit(c(0, 20, 40, 60), c(0.5, 0.4, 0.3, 0.2))), "warning",
       "record 1: the value at age 0 is 0.5, not 1"),
  list(quote(qev_fit_table(NULL, "age", "v")), "error", "a data frame"),
  list(quote(qev_fit_table(one, "age", "w")), "error", "no column \"w\""),
  list(quote(qev_fit_table(transform(one, a = 1), "age", "v", by = "a")),
       "error", "name of a result column"),
  list(quote(qev_fit_table(transform(one, v = c("1", "x", "2")), "age", "v")),
       "error", "the value column \"v\" holds text, not numbers"),
  list(quote(qev_fit_table(transform(one, v = factor(v)), "age", "v")),
       "error", "holds text, not numbers"),
  list(quote(qev_fit_table(one, "age", "v", by = c("k", "k"))), "error",
       "by names the column \"k\" twice"),
  list(quote(qev_fit_table(local({d <- one; d$k <- list(1, 2, 3); d}), "age",
                           "v", by = "k")), "error",
       "the key column \"k\" is a list"),
  list(quote(qev_fit_table(transform(one, age = c(0, NA, 2)), "age", "v")),
       "error", "row 2: age NA"),
  list(quote(qev_fit_table(transform(one, age = c("0", "1-x", "2")), "age",
                           "v")), "error", "row 2: age \"1-x\" is not an age"),
  list(quote(qev_fit_table(one[0, ], "age", "v")), "warning", "no rows"),
  list(quote(qev_fit_table(one, "age", "v", radix = 0)), "error", "radix"),
  list(quote(qev_fit_table(transform(one, v = c(1, NA, 0.8)), "age", "v",
                           by = "k")), "warning", "k=a: 2 records, fewer than 4"),
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
      expect_error(suppressMessages(suppressWarnings(eval(b[[1]]))), b[[3]],
                   fixed = TRUE,
                   label = deparse(b[[1]]))
    } else {
      seen <- character(0)
      withCallingHandlers(suppressMessages(eval(b[[1]])),
                          qev_data_warning = function(w) {
        seen <<- c(seen, conditionMessage(w))
        invokeRestart("muffleWarning")
      })
      expect_true(any(grepl(b[[3]], seen, fixed = TRUE)),
                  label = paste(deparse(b[[1]]), collapse = ""))
    }
  }
  expect_gt(length(bad), 20)
})

test_that("drops are messages, and each model statistic is nls()'s", {
  expect_message(
    expect_warning(qev_fit_table(transform(one, v = c(1, NA, 0.8)), "age", "v",
                                 by = "k"), class = "qev_data_warning"),
    "k=a: left out 1 row with no value, from age 1")
  d <- qev_read_table(ext("us-2011-male.dat"))
  f <- qev_fit(d$age, d$value)
  n <- stats::nls(value ~ 1 / (a * (age / (105 - age))^3 +
                                 b * sqrt(exp(age / (105 - age)) - 1) +
                                 c * (1 - exp(-2 * age)) + 1),
                  data = d, start = as.list(coef(f)))
  expect_equal(as.numeric(logLik(f)), as.numeric(logLik(n)), tolerance = 1e-6)
  expect_identical(attr(logLik(f), "df"), attr(logLik(n), "df"))
  expect_equal(AIC(f), AIC(n), tolerance = 1e-6)
  expect_equal(BIC(f), BIC(n), tolerance = 1e-6)
  expect_output(print(summary(f)), "assume independent")
  expect_identical(predict(f, NA), NA_real_)
  expect_identical(predict(f, c(40, NA))[2], NA_real_)
  few <- suppressWarnings(qev_fit(c(0, 1), c(1, 0.9)))
  grDevices::pdf(NULL)
  expect_error(plot(few), "no curve to draw: the fit's status is too-few-records")
  grDevices::dev.off()
})

# The rows of the edge table that the command line and Python are held to.
edges <- local({
  lines <- readLines(test_path("edges.tsv"))
  t <- read.delim(text = lines[!startsWith(lines, "#")],
                  colClasses = "character", na.strings = character(0))
  expand <- function(x) {
    if (!nzchar(x)) return(character(0))
    unlist(lapply(strsplit(x, ",", fixed = TRUE)[[1]], function(item) {
      if (grepl("..", item, fixed = TRUE)) {
        ab <- as.integer(strsplit(item, "..", fixed = TRUE)[[1]])
        as.character(ab[1]:ab[2])
      } else if (grepl("*", item, fixed = TRUE)) {
        xn <- strsplit(item, "*", fixed = TRUE)[[1]]
        rep(xn[1], as.integer(xn[2]))
      } else item
    }))
  }
  lapply(seq_len(nrow(t)), function(i) {
    r <- as.list(t[i, ])
    r$ages <- expand(r$ages)
    r$values <- expand(r$values)
    r
  })
})

edge_options <- function(text) {
  if (text == "-") return(list())
  out <- list()
  for (item in strsplit(text, " ", fixed = TRUE)[[1]]) {
    kv <- regmatches(item, regexpr("=", item), invert = TRUE)[[1]]
    x <- suppressWarnings(as.numeric(strsplit(kv[2], ",", fixed = TRUE)[[1]]))
    out[[kv[1]]] <- if (anyNA(x) && !grepl("nan", kv[2])) kv[2] else x
  }
  out
}

test_that("the edge table gets what every client must give", {
  expect_gt(length(edges), 14)
  for (e in edges) {
    labels <- any(!grepl("^-?[0-9]+$", e$ages))
    ages <- if (labels) e$ages else as.numeric(e$ages)
    values <- as.double(ifelse(e$values == "NA", NA_real_,
                               .Call(qev:::qev_r_strtod, e$values)))
    args <- edge_options(e$options)
    said <- character(0)
    error <- NULL
    got <- withCallingHandlers(
      tryCatch(
        if (e$path == "one") {
          as.data.frame(do.call(qev_fit, c(list(ages, values), args)))
        } else {
          do.call(qev_fit_table, c(list(data.frame(age = ages,
                                                   value = values,
                                                   stringsAsFactors = FALSE),
                                        "age", "value"), args))
        },
        error = function(err) {
          error <<- conditionMessage(err)
          NULL
        }),
      warning = function(w) {
        said <<- c(said, conditionMessage(w))
        invokeRestart("muffleWarning")
      },
      message = function(m) {
        said <<- c(said, conditionMessage(m))
        invokeRestart("muffleMessage")
      })
    text <- paste(c(said, error), collapse = "\n")
    if (e$message == "none") {
      expect_identical(text, "", label = e$name)
    } else {
      for (part in strsplit(e$message, "|", fixed = TRUE)[[1]])
        expect_true(grepl(part, text, fixed = TRUE),
                    label = paste(e$name, ":", part, "in", text))
    }
    if (e$outcome == "error") {
      expect_false(is.null(error), label = e$name)
      next
    }
    expect_null(error, label = e$name)
    expect_identical(got$status[1], e$outcome, label = e$name)
    expect_identical(if (nzchar(got$checks[1])) got$checks[1] else "-",
                     e$checks, label = e$name)
    for (col in c("e0_fit", "e0_table")) {
      if (e[[col]] == "NaN") expect_true(is.nan(got[[col]][1]),
                                         label = paste(e$name, col))
      if (e[[col]] == "number") expect_true(is.finite(got[[col]][1]),
                                            label = paste(e$name, col))
    }
  }
})

test_that("plot() of a table of fits draws the trend as a PNG", {
  d <- read_hmd(ext("USA.fltper_1x1.txt"))
  fits <- suppressMessages(qev_fit_table(d, "Age", "lx", by = "Year",
                                         radix = 1e5))
  expect_s3_class(fits, "data.frame")
  png_file <- tempfile(fileext = ".png")
  grDevices::png(png_file, width = 640, height = 400)
  expect_identical(plot(fits), fits)
  grDevices::dev.off()
  head <- readBin(png_file, "raw", 24)
  expect_identical(head[1:4], as.raw(c(0x89, 0x50, 0x4e, 0x47)))
  size <- function(b) sum(as.integer(b) * 256^(3:0))
  expect_identical(c(size(head[17:20]), size(head[21:24])), c(640, 400))
  expect_gt(file.size(png_file), 5000)
  many <- fits
  many$k <- seq_len(nrow(fits))
  expect_error(plot(many, year = "Year"), "more than 12")
})
