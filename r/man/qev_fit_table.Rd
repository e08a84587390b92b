\name{qev_fit_table}
\alias{qev_fit_table}
\alias{qev_fitted_table}
\title{Fit every group of a long table}
\description{
Fits every group of a long data frame, a row per key, age and value, by the
command line's long-table rules, bit for bit as \code{qev --tsv --age --value
--by --radix} fits the same file.
}
\usage{
qev_fit_table(data, age, value, by = NULL, radix = NULL, start = NULL,
              jobs = 0)
qev_fitted_table(data, age, value, by = NULL, radix = NULL, start = NULL,
                 jobs = 0)
}
\arguments{
  \item{data}{a data frame.}
  \item{age}{the name of the age column: numbers, or text or factor labels
    \code{N}, \code{N-M} (taken at N) or \code{N+} (the open age group,
    taken at N).}
  \item{value}{the name of the value column, numbers; NA is a missing value
    and its row is dropped.}
  \item{by}{the names of the key columns; rows with the same keys are one
    table.  NA keys form a group of their own.}
  \item{radix}{a positive number every value is divided by (100000 for the
    usual l(x)).}
  \item{start}{three numbers where every search starts.}
  \item{jobs}{threads (0: every core).}
}
\value{
\code{qev_fit_table}: a data frame of a row per group, in the order of their
first rows: the \code{by} columns with their types, then the columns of
\code{qev --tsv}.  Rows of ages above 104 and rows with no value are
dropped, with one warning that counts them; a group of more than 200
records or with an age twice is \code{refused}.  The data checks are
warnings of class \code{qev_data_warning}.  \code{qev_fitted_table}: the
rows of \code{qev --fitted}: the keys, age, observed, fitted and residual
of every record kept.  Ctrl-C stops a long fit between two batches of
tables.
}
\examples{
p <- system.file("extdata", "USA.fltper_1x1.txt", package = "qev")
fits <- suppressWarnings(qev_fit_table(read_hmd(p), "Age", "lx", by = "Year",
                                       radix = 1e5))
head(fits[, c("Year", "a", "b", "c", "e0_fit")])
rows <- suppressWarnings(qev_fitted_table(read_hmd(p)[1:111, ], "Age", "lx",
                                          by = "Year", radix = 1e5))
head(rows)
}
