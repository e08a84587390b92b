\name{read_eurostat}
\alias{read_eurostat}
\title{Read a file in Eurostat's TSV layout as a long table}
\description{
Reads a file as Eurostat's bulk download and API give it: a first header
field \code{dim1,...,dimN\\TIME_PERIOD} (or \code{\\time}, or with
\code{/}), a column per period, and cells \dQuote{VALUE FLAG} such as
\code{0.99 p}, with \code{:} for not available.  A \code{.tsv.gz} file is
read through R's own \code{gzfile}.  Numbers are read by the C library's
\code{strtod}, as the command line reads them.
}
\usage{
read_eurostat(path)
}
\arguments{
  \item{path}{the file.}
}
\value{
A data frame with a row per cell: the dimensions as character columns
under their own names, the period in a column named after the time
dimension (integer when every period is a whole number), \code{value}
(\code{:} as NA) and \code{flag} (character, \code{""} for none).  Each
series, the rows that share every column but \code{age}, \code{value} and
\code{flag}, comes in the order the file first shows it, its rows in age
order, so that \code{\link{qev_fit_table}} fits what the command line fits
of the file.  Eurostat's age codes (\code{Y_LT1}, \code{Y5}, \code{Y5-9},
\code{Y_GE85}) are age labels to \code{qev_fit_table}, and the rows of
\code{Y_OPEN} and \code{TOTAL} are left out and counted.
}
\examples{
tab <- intToUtf8(9)
f <- tempfile(fileext = ".tsv")
writeLines(c(paste("sex,age,geo\\\\TIME_PERIOD", "2019 ", sep = tab),
             paste("F,Y1,AT", "99650", sep = tab),
             paste("F,Y_LT1,AT", "100000", sep = tab),
             paste("F,Y_GE2,AT", "99620 p", sep = tab)), f)
read_eurostat(f)
}
