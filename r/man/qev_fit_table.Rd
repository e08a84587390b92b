\name{qev_fit_table}
\alias{qev_fit_table}
\alias{qev_fitted_table}
\alias{plot.qev_fit_table}
\title{Fit every group of a long table}
\description{
Fits every group of a long data frame, a row per key, age and value, by the
command line's long-table rules, bit for bit as \code{qev --tsv --age --value
--by --radix} fits the same file.
}
\usage{
qev_fit_table(data, age, value, by = NULL, radix = NULL, start = NULL,
              restarts = 0, jobs = 0)
qev_fitted_table(data, age, value, by = NULL, radix = NULL, start = NULL,
                 restarts = 0, jobs = 0)
\method{plot}{qev_fit_table}(x, year = NULL, \dots)
}
\arguments{
  \item{data}{a data frame.}
  \item{age}{the name of the age column: numbers, or text or factor labels
    \code{N}, \code{N-M} (taken at N) or \code{N+} (the open age group,
    taken at N).}
  \item{value}{the name of the value column, numbers; NA is a missing value
    and its row is dropped.}
  \item{by}{the names of the key columns, each once and none a list;
    rows with the same keys are one table.  NA keys form a group of their
    own.}
  \item{radix}{a positive number every value is divided by (100000 for the
    usual l(x)).}
  \item{start}{three finite numbers where every search starts.}
  \item{restarts}{a whole number, 0 to 1000: a search that runs 10000
    iterations starts again from its best vertex up to this many times, as
    \code{--restarts} does.}
  \item{jobs}{threads, a whole number 0 to 1024 (0: every core); the
    results are the same bits for any number.}
  \item{x}{a result of \code{qev_fit_table}.}
  \item{year}{the key column to draw along; default the first whose values
    are all whole numbers.}
  \item{\dots}{passed on to \code{plot}.}
}
\value{
\code{qev_fit_table}: a data frame of a row per group, in the order of their
first rows, of class \code{qev_fit_table} (a data frame): the \code{by}
columns with their types, then the columns of
\code{qev --tsv} (see \code{\link{qev_fit}} for each).  Rows of ages above
104 and rows with no value are dropped and reported with
\code{message()}: routine, not a warning.  A group of more than 200
records or with an age twice is \code{refused}.  The data checks are
warnings of class \code{qev_data_warning}, worded for the first 20 groups
that have any, then counted in one more.  The checks that describe a table
as a table and \code{e0_table} go by age, whatever the order of the
rows.  \code{qev_fitted_table}: the
rows of \code{qev --fitted}: the keys, age, observed, fitted and residual
of every record kept.  \code{plot} of a \code{qev_fit_table} result draws
e0_fit over the years as a line with the band of 1.96 standard errors and
e0_table as points, a line for each combination of the other key columns
(at most 12).  Ctrl-C stops a long fit between two batches of
tables.
}
\examples{
p <- system.file("extdata", "USA.fltper_1x1.txt", package = "qev")
fits <- qev_fit_table(read_hmd(p), "Age", "lx", by = "Year", radix = 1e5)
head(fits[, c("Year", "a", "b", "c", "e0_fit")])
plot(fits)
rows <- suppressWarnings(qev_fitted_table(read_hmd(p)[1:111, ], "Age", "lx",
                                          by = "Year", radix = 1e5))
head(rows)
}
