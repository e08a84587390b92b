# qev for R: the fits of the qev command line, in process and to the bit.

# The library's limits and argument codes, as its header has them.
.const <- function() {
  k <- .Call(qev_r_constants)
  list(max_records = k[1], max_worded = k[2], arg_start = k[3],
       arg_radix = k[4], arg_jobs = k[5], arg_restarts = k[6],
       age_range = k[7], age_none = k[8])
}

.words <- function(kind, n = 0, text = "") {
  .Call(qev_r_words, kind, as.double(n), as.character(text))
}

# An argument checked by the library's rules, which every client keeps.
.refuse <- function(name, which, x) {
  stop(sprintf("%s takes %s, not %s", name, .words("argument", which),
               paste(deparse(x), collapse = " ")), call. = FALSE)
}

.number <- function(name, which, x) {
  if (!is.numeric(x) || length(x) != 1 || is.na(x) ||
      !.Call(qev_r_argument_ok, which, as.double(x)))
    .refuse(name, which, x)
  as.double(x)
}

.count <- function(name, which, x) as.integer(.number(name, which, x))

# The columns of qev --tsv after the keys, from the shared words, and the
# numbers of a result in the order the compiled code gives them.
.tsv <- function() .Call(qev_r_columns)
.numbers <- function() {
  c(setdiff(.tsv(), c("status", "checks")), "cov_ab", "cov_ac", "cov_bc")
}

# A data check as a warning of class qev_data_warning.
.data_warning <- function(message, call = sys.call(-1)) {
  warning(structure(class = c("qev_data_warning", "warning", "condition"),
                    list(message = message, call = call)))
}

.start <- function(start) {
  if (is.null(start)) return(NULL)
  k <- .const()$arg_start
  if (!is.numeric(start) || length(start) != 3 || anyNA(start) ||
      !all(vapply(start, function(x) .Call(qev_r_argument_ok, k, as.double(x)),
                  NA)))
    .refuse("start", k, start)
  as.double(start)
}

# Ages as whole numbers, refused by record: NA, fractions, infinities.
.whole_ages <- function(age, unit = "record") {
  if (is.factor(age)) age <- as.character(age)
  if (is.character(age)) {
    x <- suppressWarnings(as.numeric(age))
    bad <- which(is.na(x))
    if (length(bad))
      stop(sprintf("%s %d: age \"%s\" is not a whole number", unit, bad[1],
                   age[bad[1]]), call. = FALSE)
    age <- x
  }
  if (!is.numeric(age) && !is.logical(age))
    stop("ages must be whole numbers", call. = FALSE)
  bad <- which(is.na(age) | !is.finite(age) | age != round(age))
  if (length(bad))
    stop(sprintf("%s %d: age %s is not a whole number", unit, bad[1],
                 format(age[bad[1]])), call. = FALSE)
  big <- which(abs(age) > .Machine$integer.max)
  if (length(big))
    stop(sprintf("%s %d: %s", unit, big[1],
                 .words("big_age", text = sprintf("%.0f", age[big[1]]))),
         call. = FALSE)
  as.integer(age)
}

qev_fit <- function(age, value, start = NULL, restarts = 0) {
  if (is.null(age) || is.null(value))
    stop("qev_fit needs ages and values", call. = FALSE)
  if (length(age) != length(value))
    stop(sprintf("age has %d records and value %d", length(age),
                 length(value)), call. = FALSE)
  k <- .const()
  if (length(age) > k$max_records)
    stop(.words("too_many", length(age)), call. = FALSE)
  s <- .start(start)
  n_restarts <- .count("restarts", k$arg_restarts, restarts)
  a <- .whole_ages(age)
  if (!is.numeric(value) || is.factor(value))
    stop("values must be numbers, not ", class(value)[1], call. = FALSE)
  # NA and NaN are values that are not shares: a data check, and no fit.
  v <- as.double(value)
  first <- which(!(v >= 0 & v <= 1) | is.na(v))
  shown <- if (length(first)) sprintf("%.17g", v[first[1]]) else ""
  r <- .Call(qev_r_fit, a, v, s, n_restarts, shown)
  for (m in r[[4]]) .data_warning(m, sys.call())
  fit <- as.list(stats::setNames(r[[1]], .numbers()))
  fit$iterations <- as.integer(fit$iterations)
  fit$records <- as.integer(fit$records)
  fit$status <- r[[2]]
  fit$checks <- r[[3]]
  fit <- fit[c(.tsv(), "cov_ab", "cov_ac", "cov_bc")]
  fit$age <- a
  fit$value <- v
  structure(fit, class = "qev_fit")
}

print.qev_fit <- function(x, ...) {
  cat(sprintf("qev fit of %d records: %s after %d iterations\n", x$records,
              x$status, x$iterations))
  cat(sprintf("  a = %.6g, b = %.6g, c = %.6g, RMSE = %.4g\n", x$a, x$b, x$c,
              x$rmse))
  cat(sprintf("  e0 of the curve %.4g, of the table %.4g\n", x$e0_fit,
              x$e0_table))
  if (nzchar(x$checks)) cat("  data checks:", x$checks, "\n")
  invisible(x)
}

summary.qev_fit <- function(object, ...) {
  se <- c(object$se_a, object$se_b, object$se_c)
  est <- coef(object)
  structure(list(coefficients = cbind(Estimate = est, `Std. Error` = se),
                 rmse = object$rmse, iterations = object$iterations,
                 status = object$status, records = object$records,
                 e0_fit = object$e0_fit, se_e0_fit = object$se_e0_fit,
                 e0_table = object$e0_table, checks = object$checks),
            class = "summary.qev_fit")
}

print.summary.qev_fit <- function(x, ...) {
  cat("qev fit of", x$records, "records:", x$status, "after",
      x$iterations, "iterations\n\n")
  print(x$coefficients)
  cat(sprintf("\nRMSE %.6g\n", x$rmse))
  cat(sprintf("Life expectancy at birth: of the curve %.6g (standard error %.3g), of the table %.6g\n",
              x$e0_fit, x$se_e0_fit, x$e0_table))
  if (nzchar(x$checks)) cat("Data checks:", x$checks, "\n")
  cat(paste("\nThe standard errors are those of nls(): they assume independent",
            "errors of one\nvariance, which the values of a life table are",
            "not; read them as a scale\nof how well the curve is pinned",
            "down, not as sampling errors.\n"))
  invisible(x)
}

# The log-likelihood nls() gives a fit of Gaussian errors: 4 degrees of
# freedom, a, b, c and the errors' variance.  The same caveat as the
# standard errors': the errors of a life table are not independent.
logLik.qev_fit <- function(object, ...) {
  res <- residuals(object)
  n <- length(res)
  val <- -n / 2 * (log(2 * pi) + 1 - log(n) + log(sum(res^2)))
  structure(val, df = 4L, nobs = n, class = "logLik")
}

coef.qev_fit <- function(object, ...) c(a = object$a, b = object$b,
                                        c = object$c)

fitted.qev_fit <- function(object, ...) .curve(object, object$age)

residuals.qev_fit <- function(object, ...) object$value - fitted(object)

nobs.qev_fit <- function(object, ...) object$records

vcov.qev_fit <- function(object, ...) {
  m <- diag(c(object$se_a, object$se_b, object$se_c)^2)
  m[1, 2] <- m[2, 1] <- object$cov_ab
  m[1, 3] <- m[3, 1] <- object$cov_ac
  m[2, 3] <- m[3, 2] <- object$cov_bc
  dimnames(m) <- list(c("a", "b", "c"), c("a", "b", "c"))
  m
}

confint.qev_fit <- function(object, parm, level = 0.95, ...) {
  est <- coef(object)
  se <- sqrt(diag(vcov(object)))
  z <- qnorm(1 - (1 - level) / 2)
  ci <- cbind(est - z * se, est + z * se)
  pct <- paste(format(100 * c((1 - level) / 2, 1 - (1 - level) / 2),
                      trim = TRUE), "%")
  dimnames(ci) <- list(names(est), pct)
  if (!missing(parm)) ci <- ci[parm, , drop = FALSE]
  ci
}

.curve <- function(fit, ages) {
  .Call(qev_r_curve, c(fit$a, fit$b, fit$c), as.double(ages))
}

predict.qev_fit <- function(object, newdata, ...) {
  if (missing(newdata)) return(fitted(object))
  if (is.data.frame(newdata)) {
    col <- intersect(c("age", "Age", "x"), names(newdata))
    if (!length(col))
      stop("newdata has no column age, Age or x", call. = FALSE)
    newdata <- newdata[[col[1]]]
  }
  if (!is.numeric(newdata) && !all(is.na(newdata)))
    stop("ages must be numbers", call. = FALSE)
  y <- .curve(object, as.double(newdata))
  y[is.na(newdata) & !is.nan(newdata)] <- NA  # NA in, NA out
  y
}

plot.qev_fit <- function(x, ...) {
  # No curve is drawn where the search found none, as qev-plot refuses.
  if (x$status %in% c("no-fit", "too-few-records", "refused"))
    stop(sprintf("no curve to draw: the fit's status is %s", x$status),
         call. = FALSE)
  title <- sprintf("qev fit: RMSE %.3g, e0 %.1f", x$rmse, x$e0_fit)
  if (x$status == "not-convergent")
    title <- paste(title, "(not convergent within 10000 iterations)")
  old <- par(no.readonly = TRUE)
  on.exit(par(old))
  layout(matrix(1:2), heights = c(2, 1))
  par(mar = c(2, 4.5, 2, 1))
  ages <- seq(0, 104.9, by = 0.1)
  plot(x$age, x$value, pch = 20, xlab = "", ylab = "share still alive",
       xlim = c(0, 105), main = title, ...)
  lines(ages, .curve(x, ages), col = "red")
  legend("bottomleft", c("observed", "fitted curve"), pch = c(20, NA),
         lty = c(NA, 1), col = c("black", "red"), bty = "n")
  par(mar = c(4, 4.5, 0.5, 1))
  plot(x$age, residuals(x), pch = 20, xlab = "age", ylab = "residual",
       xlim = c(0, 105))
  abline(h = 0, col = "grey")
  invisible(x)
}

as.data.frame.qev_fit <- function(x, row.names = NULL, optional = FALSE, ...) {
  data.frame(x[.tsv()], row.names = row.names, stringsAsFactors = FALSE)
}

# Ages of a long table as the library reads its labels: N, N-M, N+ and
# Eurostat's codes.
.age_labels <- function(col) {
  if (is.numeric(col)) {
    x <- .whole_ages(col, "row")
    return(list(age = x, kind = integer(length(x))))
  }
  if (is.factor(col)) col <- as.character(col)
  if (!is.character(col)) stop("ages must be numbers or text", call. = FALSE)
  u <- unique(col)
  t <- enc2utf8(trimws(u, whitespace = " "))
  k <- .Call(qev_r_age_labels, t)
  bad <- which(k[, 1] < 0)
  if (length(bad)) {
    row <- match(u[bad[1]], col)
    if (k[bad[1], 1] == .const()$age_range)
      stop(sprintf("row %d: %s", row, .words("big_age", text = t[bad[1]])),
           call. = FALSE)
    stop(sprintf("row %d: age %s", row, .words("not_age", text = u[bad[1]])),
         call. = FALSE)
  }
  at <- match(col, u)
  list(age = k[at, 2], kind = k[at, 1])
}

# Each value numbered by the order of its first appearance, NA too.  Rows
# of a group are mostly together, so only the first row of each run of
# equal values is looked up.
.codes <- function(x) {
  n <- length(x)
  if (n == 0) return(integer(0))
  same <- x[-1L] == x[-n]
  head <- c(TRUE, is.na(same) | !same)
  runs <- x[head]
  match(runs, unique(runs))[cumsum(head)]
}

.fit_groups <- function(data, age, value, by, radix, start, restarts, jobs) {
  if (is.null(data) || !is.data.frame(data))
    stop("qev_fit_table takes a data frame", call. = FALSE)
  for (name in c(age, value, by))
    if (!name %in% names(data))
      stop(sprintf("no column \"%s\" in the data frame", name), call. = FALSE)
  twice <- .words("twice", text = as.character(by))
  if (nzchar(twice)) stop(twice, call. = FALSE)
  clash <- .words("clash", text = as.character(by))
  if (nzchar(clash))
    stop(sprintf("a by column may not have the name of a result column: %s",
                 clash), call. = FALSE)
  for (b in by)
    if (is.list(data[[b]]))
      stop(sprintf("the key column \"%s\" is a list: by takes columns of values",
                   b), call. = FALSE)
  lim <- .const()
  if (!is.null(radix)) radix <- .number("radix", lim$arg_radix, radix)
  s <- .start(start)
  n_restarts <- .count("restarts", lim$arg_restarts, restarts)
  n_jobs <- .count("jobs", lim$arg_jobs, jobs)
  n <- nrow(data)
  if (n == 0) .data_warning("the data frame has no rows", sys.call(-1))
  v <- data[[value]]
  if (is.factor(v) || is.character(v))
    stop(.words("text_value", text = value), call. = FALSE)
  if (!(is.numeric(v) || is.logical(v)))
    stop(sprintf("the value column \"%s\" is %s, not numbers", value,
                 class(v)[1]), call. = FALSE)
  ages <- .age_labels(data[[age]])
  # Groups numbered in the order of their first rows: each key column's
  # values numbered so, then the combinations of those numbers.  NA is a
  # key value like any other, as match() takes it.  The compiled code
  # numbers the columns it can; R, the others.
  code <- if (length(by))
    .Call(qev_r_group_codes, lapply(by, function(b) data[[b]]), n)
  if (is.null(code)) {
    code <- rep.int(1, n)
    for (b in by) {
      k <- data[[b]]
      if (is.factor(k)) k <- as.character(k)
      u <- .codes(k)
      code <- .codes(code * (max(u, 0L) + 1) + u)
    }
  }
  order <- order(code, method = "radix")
  ng <- if (n) max(code) else 0L
  offsets <- c(0, cumsum(tabulate(code, ng)))
  first <- order[offsets[-length(offsets)] + 1]
  r <- .Call(qev_r_fit_groups, ages$age[order], ages$kind[order],
             as.double(v)[order], is.na(v)[order], as.double(offsets),
             as.integer(order), if (is.null(radix)) 0 else as.double(radix),
             if (is.null(radix)) NULL else format(radix, digits = 15),
             s, n_restarts, n_jobs)
  keys <- data[first, by, drop = FALSE]
  rownames(keys) <- NULL
  label <- function(g) {
    if (!length(by)) return("")
    paste0(paste0(by, "=", vapply(keys[g, , drop = FALSE], format, ""),
                  collapse = ", "), ": ")
  }
  # The first groups' checks in words; the others' only counted, since a
  # million warnings help no one.
  warned <- which(lengths(r[[4]]) > 0)
  for (g in utils::head(warned, lim$max_worded))
    for (m in r[[4]][[g]]) .data_warning(paste0(label(g), m), sys.call(-1))
  if (length(warned) > lim$max_worded)
    .data_warning(.words("more_groups", length(warned) - lim$max_worded),
                  sys.call(-1))
  # Rows left out on purpose are information, not warnings.
  drops <- r[[5]]
  report <- character(0)
  for (g in utils::head(which(drops[, 2] > 0), lim$max_worded))
    report <- c(report, paste0(label(g), .words("left_out", drops[g, 2],
                                                 drops[g, 3])))
  total <- .Call(qev_r_dropped,
                 as.double(c(sum(drops[, 1]), sum(drops[, 1] > 0),
                             sum(drops[, 2]), sum(drops[, 2] > 0),
                             sum(drops[, 4]), sum(drops[, 4] > 0))), "NA")
  if (nzchar(total)) report <- c(report, total)
  for (m in report) message(m)
  list(keys = keys, numbers = r[[1]], status = r[[2]], checks = r[[3]],
       offsets = offsets, age = ages$age[order], kept = r[[6]],
       fitted = r[[7]])
}

qev_fit_table <- function(data, age, value, by = NULL, radix = NULL,
                          start = NULL, restarts = 0, jobs = 0) {
  f <- .fit_groups(data, age, value, by, radix, start, restarts, jobs)
  out <- f$keys
  nums <- f$numbers
  colnames(nums) <- .numbers()
  for (name in .tsv()) {
    out[[name]] <- switch(name,
      status = f$status,
      checks = f$checks,
      iterations = as.integer(nums[, "iterations"]),
      records = as.integer(nums[, "records"]),
      nums[, name])
  }
  class(out) <- c("qev_fit_table", "data.frame")
  out
}

# The trend of life expectancy at birth over the years: e0_fit as a line
# with the band of 1.96 standard errors, e0_table as points, a line for
# each combination of the other key columns (at most 12).
plot.qev_fit_table <- function(x, year = NULL, ...) {
  keys <- setdiff(names(x), .tsv())
  whole <- function(v) is.numeric(v) && all(is.finite(v) & v == round(v))
  if (is.null(year)) year <- Find(function(k) whole(x[[k]]), keys)
  if (is.null(year) || !year %in% names(x))
    stop("no column of years to draw along: give year = \"COL\"",
         call. = FALSE)
  others <- setdiff(keys, year)
  series <- if (length(others))
    interaction(x[others], drop = TRUE, sep = ", ") else factor(rep("", nrow(x)))
  if (nlevels(series) > 12)
    stop(sprintf("%d lines, more than 12: keep fewer rows", nlevels(series)),
         call. = FALSE)
  e0 <- c(x$e0_fit, x$e0_table)
  plot(range(x[[year]]), range(e0[is.finite(e0)]), type = "n", xlab = year,
       ylab = "life expectancy at birth (years)", ...)
  colours <- grDevices::hcl.colors(max(nlevels(series), 1), "Dark 3")
  for (k in seq_len(nlevels(series))) {
    rows <- x[series == levels(series)[k], , drop = FALSE]
    rows <- rows[order(rows[[year]]), , drop = FALSE]
    ok <- is.finite(rows$se_e0_fit)
    if (any(ok)) {
      t <- rows[[year]][ok]
      band <- 1.96 * rows$se_e0_fit[ok]
      polygon(c(t, rev(t)), c(rows$e0_fit[ok] - band,
                              rev(rows$e0_fit[ok] + band)),
              col = grDevices::adjustcolor(colours[k], 0.35), border = NA)
    }
    lines(rows[[year]], rows$e0_fit, col = colours[k])
    points(rows[[year]], rows$e0_table, pch = 20, cex = 0.6, col = colours[k])
  }
  labels <- paste(c("e0_fit", "e0_table"), rep(levels(series), each = 2))
  legend("bottomright", trimws(labels), col = rep(colours, each = 2),
         lty = rep(c(1, NA), nlevels(series)), pch = rep(c(NA, 20),
                                                         nlevels(series)),
         bty = "n")
  invisible(x)
}

qev_fitted_table <- function(data, age, value, by = NULL, radix = NULL,
                             start = NULL, restarts = 0, jobs = 0) {
  f <- suppressMessages(suppressWarnings(
    .fit_groups(data, age, value, by, radix, start, restarts, jobs)))
  nums <- f$numbers
  parts <- list()
  for (g in seq_along(f$status)) {
    if (f$status[g] == "refused") next
    i <- (f$offsets[g] + 1):f$offsets[g + 1]
    keep <- i[f$kept[i]]
    obs <- f$fitted[keep]
    fit <- .Call(qev_r_curve, nums[g, 1:3], as.double(f$age[keep]))
    key <- f$keys[rep(g, length(keep)), , drop = FALSE]
    parts[[length(parts) + 1]] <- cbind(key, data.frame(
      age = f$age[keep], observed = obs, fitted = fit, residual = obs - fit))
  }
  out <- do.call(rbind, parts)
  rownames(out) <- NULL
  out
}

# Whitespace-separated fields of lines, as a character matrix.
.fields <- function(lines, width, path, first_line) {
  f <- strsplit(trimws(lines), "[ \t]+")
  n <- lengths(f)
  bad <- which(n != width)
  if (length(bad))
    stop(sprintf("%s: line %d: %d fields, where the header has %d", path,
                 first_line + bad[1] - 1, n[bad[1]], width), call. = FALSE)
  matrix(unlist(f), ncol = width, byrow = TRUE)
}

read_hmd <- function(path) {
  lines <- readLines(path, warn = FALSE, encoding = "UTF-8")
  head <- grep("^[ \t]*Year[ \t]+Age([ \t]|$)", lines)
  if (!length(head))
    stop(sprintf("%s: not an HMD life table (no line starts with Year and Age)",
                 path), call. = FALSE)
  names <- strsplit(trimws(lines[head[1]]), "[ \t]+")[[1]]
  rows <- lines[(head[1] + 1):length(lines)]
  keep <- nzchar(trimws(rows))
  m <- .fields(rows[keep], length(names), path, head[1] + 1)
  out <- as.data.frame(m, stringsAsFactors = FALSE)
  names(out) <- names
  for (k in setdiff(names, c("Year", "Age"))) {
    x <- .Call(qev_r_strtod, out[[k]])
    bad <- which(is.na(x) & !is.nan(x) & out[[k]] != ".")
    if (length(bad))
      stop(sprintf("%s: %s \"%s\" is not a number", path, k, out[[k]][bad[1]]),
           call. = FALSE)
    out[[k]] <- x
  }
  if (all(grepl("^[0-9]+$", out$Year))) out$Year <- as.integer(out$Year)
  out
}

qev_read_table <- function(path) {
  lines <- readLines(path, warn = FALSE)
  f <- strsplit(trimws(lines), "[ \t\r\v\f]+")
  line <- rep(seq_along(f), lengths(f))
  f <- unlist(f)
  line <- line[nzchar(f)]
  f <- f[nzchar(f)]
  if (length(f) %% 2)
    stop(sprintf("%s: line %d: age %s has no value", path, line[length(f)],
                 f[length(f)]), call. = FALSE)
  a <- f[c(TRUE, FALSE)]
  v <- f[c(FALSE, TRUE)]
  bad <- which(!grepl("^[+-]?[0-9]+$", a))
  if (length(bad))
    stop(sprintf("%s: line %d: \"%s\" is not a whole-number age", path,
                 line[2 * bad[1] - 1], a[bad[1]]), call. = FALSE)
  y <- .Call(qev_r_strtod, v)
  bad <- which(is.na(y) & !is.nan(y))
  if (length(bad))
    stop(sprintf("%s: line %d: value \"%s\" is not a number", path,
                 line[2 * bad[1]], v[bad[1]]), call. = FALSE)
  data.frame(age = as.integer(a), value = y)
}
