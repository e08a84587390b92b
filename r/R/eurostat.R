# Eurostat's TSV layout (bulk download and API), read as a long table.

# The tab-separated fields of each line, an empty last one included.
.tab_fields <- function(x, sep = "\t") strsplit(paste0(x, sep), sep, fixed = TRUE)

read_eurostat <- function(path) {
  con <- gzfile(path, "r")  # plain files too
  on.exit(close(con))
  lines <- readLines(con, warn = FALSE, encoding = "UTF-8")
  if (!length(lines)) lines <- ""
  header <- .tab_fields(sub("^\ufeff", "", lines[1]))[[1]]
  first <- trimws(header[1], whitespace = " ")
  cut <- regexpr("[\\\\/][^\\\\/]*$", first)
  time <- if (cut > 0) substring(first, cut + 1) else ""
  if (!time %in% c("TIME_PERIOD", "time"))
    stop(sprintf(paste0("%s: not in Eurostat's layout: the first header ",
                        "field does not end in \\TIME_PERIOD or \\time"), path),
         call. = FALSE)
  dims <- trimws(.tab_fields(substr(first, 1, cut - 1), ",")[[1]],
                 whitespace = " ")
  for (d in dims)
    if (d %in% c("value", "flag"))
      stop(sprintf("%s: line 1: %s", path, .words("eurostat_clash", text = d)),
           call. = FALSE)
  periods <- trimws(header[-1], whitespace = " ")
  line <- seq_along(lines)[-1]
  rows <- lines[-1]
  line <- line[nzchar(rows)]
  f <- .tab_fields(rows[nzchar(rows)])
  wide <- which(lengths(f) != length(header))
  if (length(wide))
    stop(sprintf("%s: line %d: %s", path, line[wide[1]],
                 .words("eurostat_width", lengths(f)[wide[1]],
                        length(header))), call. = FALSE)
  codes <- .tab_fields(vapply(f, `[`, "", 1), ",")
  short <- which(lengths(codes) != length(dims))
  if (length(short))
    stop(sprintf("%s: line %d: %s", path, line[short[1]],
                 .words("eurostat_codes", lengths(codes)[short[1]],
                        length(dims))), call. = FALSE)
  n <- length(periods)
  m <- matrix(trimws(unlist(codes), whitespace = " "), ncol = length(dims),
              byrow = TRUE)
  out <- list()
  for (k in seq_along(dims)) out[[dims[k]]] <- rep(m[, k], each = n)
  stamp <- rep(periods, times = length(f))
  if (length(periods) && all(grepl("^[0-9]+$", periods)))
    stamp <- as.integer(stamp)
  out[[time]] <- stamp
  cell <- trimws(unlist(lapply(f, `[`, -1)), whitespace = " ")
  text <- sub(" .*$", "", cell)
  out$value <- .Call(qev_r_strtod, text)
  bad <- which(is.na(out$value) & !text %in% c(":", ""))
  if (length(bad))
    stop(sprintf("%s: line %d: value \"%s\" is not a number", path,
                 line[(bad[1] - 1) %/% n + 1], text[bad[1]]), call. = FALSE)
  out$flag <- ifelse(grepl(" ", cell, fixed = TRUE),
                     trimws(sub("^[^ ]* ", "", cell), whitespace = " "), "")
  frame <- as.data.frame(out, stringsAsFactors = FALSE, optional = TRUE)
  o <- .series_in_age_order(frame)
  frame <- frame[o, , drop = FALSE]
  rownames(frame) <- NULL
  frame
}

# The rows' order: each series (the rows that share every column but age,
# value and flag) where the file first shows it, its rows by the library's
# ages, rows of no age or none last, ties in file order.
.series_in_age_order <- function(frame) {
  keys <- frame[setdiff(names(frame), c("age", "value", "flag"))]
  joined <- do.call(paste, c(unname(as.list(keys)), sep = "\r"))
  series <- match(joined, unique(joined))
  if (!"age" %in% names(frame)) return(order(series))
  u <- unique(frame$age)
  k <- .Call(qev_r_age_labels, enc2utf8(u))
  rank <- ifelse(k[, 1] >= 0 & k[, 1] != .const()$age_none, k[, 2],
                 .Machine$integer.max)
  order(series, rank[match(frame$age, u)])
}
